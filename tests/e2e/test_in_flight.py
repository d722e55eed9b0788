"""Several files in flight, end to end, with the server behind a fixed round
trip: the download phase fetches files ahead of their turn, while the status
line and the log go as for one file at a time; failures stay per file,
CONEXOES 1 asks for the files one after the other, and closing the window
cancels nothing."""
import hashlib

from conftest import STUB_GAME, pattern
from test_transfers import hold
from test_update import GAME_STARTED, close_window_and_let_the_run_end, messages_after_start

FAILURE_BOX = "Quorvane - Updater"


def first(times, path):
    return next(t for p, t in times if p == path)


def download_phase(game):
    """The log from the first "Downloading" line on."""
    messages = messages_after_start(game)
    return messages[next(i for i, m in enumerate(messages) if m.startswith("Downloading ")):]


def assert_blocked(phase, downloads, count):
    """The download phase logged these lines, then the failure text for count files and the block."""
    assert phase[:len(downloads)] == downloads
    assert phase[len(downloads)] == f"FALHA: {count} file(s) could not be updated."
    assert phase[-1] == f"BLOQUEADO: {count} arquivo(s) falharam, jogo nao foi aberto"


def current_client(game, release):
    """The game folder already holds the release's client.exe."""
    game.write("client.exe", release.add("client.exe", STUB_GAME.read_bytes()))


def test_a_slow_first_file_and_a_missing_second_give_the_log_of_one_file_at_a_time(
        game, release, fault_server, far_away):
    current_client(game, release)
    pack = release.add("data\\a.pak", pattern(1_000_000))
    release.add("data\\b.pak", pattern(5000, seed=2))
    c = release.add("data\\c.pak", pattern(7000, seed=3))
    d = release.add("data\\d.pak", pattern(9000, seed=4))
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("slow", 3.0)
    fault_server.faults["/data/b.pak"] = ("404",)
    base_url = far_away(fault_server)
    game.configure(base_url)

    assert game.run_through_message_box(FAILURE_BOX) == 0
    assert (game.read("data/a.pak"), game.read("data/c.pak"), game.read("data/d.pak")) == (pack, c, d)
    assert_blocked(download_phase(game), [
        "Downloading 1 of 4...",
        "Downloading 2 of 4...", f"HTTP 404 em {base_url}data/b.pak", "falhou: data\\b.pak",
        "Downloading 2 of 4...",
        "Downloading 3 of 4...",
    ], 1)
    slow_done = first(fault_server.answered, "/data/a.pak")
    for later in ("/data/b.pak", "/data/c.pak", "/data/d.pak"):
        assert first(fault_server.asked, later) < slow_done, f"{later} waited for the slow first file"


def test_a_cut_file_is_resumed_while_others_are_in_flight(game, release, fault_server, far_away):
    current_client(game, release)
    pack = release.add("data\\a.pak", pattern(300_000))
    others = {f"data/{name}.pak": release.add(f"data\\{name}.pak", pattern(20_000, seed=seed))
              for seed, name in enumerate("bcde", start=2)}
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("cut", 100_000, 1)
    base_url = far_away(fault_server)
    game.configure(base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert all(game.read(path) == data for path, data in others.items())
    assert not list(game.root.rglob("*.tmp"))
    assert [asked for path, asked in fault_server.ranges if path == "/data/a.pak"] == [None, "bytes=100000-"]
    url = f"{base_url}data/a.pak"
    assert download_phase(game) == [
        "Downloading 1 of 5...", f"transferencia interrompida em {url} (100000 bytes recebidos)",
        f"nova tentativa 2 de {url}", "retomando data\\a.pak a partir de 100000 bytes",
        "Downloading 2 of 5...", "Downloading 3 of 5...", "Downloading 4 of 5...", "Downloading 5 of 5...",
        "Updated to version 2.0.", GAME_STARTED]
    resumed = [t for p, t in fault_server.asked if p == "/data/a.pak"][1]
    assert all(first(fault_server.asked, "/" + path) < resumed for path in others), "the others waited"


def test_a_held_file_waits_without_holding_the_others(game, release, fault_server, far_away):
    current_client(game, release)
    release.add("data\\a.pak", pattern(40_000))
    b = release.add("data\\b.pak", pattern(30_000, seed=2))
    c = release.add("data\\c.pak", pattern(30_000, seed=3))
    release.publish("2.0")
    game.configure(far_away(fault_server))
    game.write("data/a.pak", b"the old pack")

    holder = hold(game.path("data/a.pak"), 8.0)  # a game left running: longer than the launcher waits
    try:
        assert game.run_through_message_box(FAILURE_BOX) == 0
    finally:
        holder.wait(timeout=30)
    assert game.read("data/a.pak") == b"the old pack"
    assert (game.read("data/b.pak"), game.read("data/c.pak")) == (b, c)
    phase = download_phase(game)
    assert phase[0] == "Downloading 1 of 3..."
    assert phase[1].startswith("nao consegui renomear data\\a.pak.tmp para data\\a.pak (")
    assert_blocked(phase[2:], ["falhou: data\\a.pak", "Downloading 1 of 3...", "Downloading 2 of 3..."], 1)
    # The launcher tries the held file for about 2 s; the others are not kept waiting for it.
    a_arrived = first(fault_server.answered, "/data/a.pak")
    assert first(fault_server.asked, "/data/c.pak") < a_arrived + 1.0


def test_one_connection_asks_for_the_files_one_after_the_other_in_manifest_order(
        game, release, fault_server, far_away):
    current_client(game, release)
    for seed, name in enumerate("dcba"):
        release.add(f"data\\{name}.pak", pattern(20_000, seed=seed))
    release.publish("2.0")
    game.configure(far_away(fault_server), "CONEXOES 1\r\n")

    assert game.run() == 0
    fetched = [(p, t) for p, t in fault_server.asked if p.startswith("/data/")]
    assert [p for p, _ in fetched] == ["/data/a.pak", "/data/b.pak", "/data/c.pak", "/data/d.pak"]
    answered = [t for p, t in fault_server.answered if p.startswith("/data/")]
    assert all(answered[i] <= fetched[i + 1][1] for i in range(3)), "a request went out before the last was answered"
    assert download_phase(game)[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def test_closing_the_window_with_files_in_flight_cancels_nothing(game, release, fault_server, far_away):
    current_client(game, release)
    packs = {f"data/{name}.pak": release.add(f"data\\{name}.pak", pattern(400_000, seed=seed))
             for seed, name in enumerate("abcd")}
    release.publish("2.0")
    for path in packs:
        fault_server.faults["/" + path] = ("slow", 6.0)  # outlasts the player closing the window
    game.configure(far_away(fault_server))

    close_window_and_let_the_run_end(game)
    assert all(game.read(path) == data for path, data in packs.items())
    assert game.game_record() is not None
    assert download_phase(game) == [f"Downloading {n} of 4..." for n in range(1, 5)] + [
        "Updated to version 2.0.", GAME_STARTED]


def hand_made_manifest(tmp_path, listed):
    """Serves each (path, data) by its path and a manifest that lists them in that order."""
    lines = ["VERSAO 2.0"]
    for path, data in listed:
        served = tmp_path / "served" / path.replace("\\", "/").lstrip("./")
        served.parent.mkdir(parents=True, exist_ok=True)
        served.write_bytes(data)
        lines.append(f"ARQUIVO {hashlib.sha256(data).hexdigest()} {len(data)} {path}")
    (tmp_path / "served" / "manifesto.txt").write_text("\n".join(lines) + "\n")


def test_one_file_named_twice_with_one_digest_is_fetched_once(game, fault_server, tmp_path):
    """".\\big.pak" and "big.pak" name one file on Windows: fetched at once, both would write its
    temporary file. The second entry is settled by the first."""
    game.write("client.exe", STUB_GAME.read_bytes())
    big = pattern(4_000_000)
    hand_made_manifest(tmp_path, (("big.pak", big), (".\\big.pak", big)))
    fault_server.faults["/big.pak"] = ("slow", 2.0)
    game.configure(fault_server.base_url, "CONEXOES 6\r\n")

    assert game.run() == 0
    assert game.read("big.pak") == big
    assert game.game_record() is not None
    assert [p for p, _ in fault_server.requests if p != "/manifesto.txt"] == ["/big.pak"]
    assert download_phase(game) == ["Downloading 1 of 1...", "Updated to version 2.0.", GAME_STARTED]


def test_one_file_named_twice_with_two_digests_fails_the_later_entry(game, fault_server, tmp_path):
    """A hand-made manifest lists one file twice, in two letter cases, with two digests: it is
    inconsistent, and the game must not start on either."""
    game.write("client.exe", STUB_GAME.read_bytes())
    listed = (("data\\a.pak", pattern(200_000, seed=1)), ("DATA\\A.PAK", pattern(200_000, seed=2)))
    hand_made_manifest(tmp_path, listed)
    game.configure(fault_server.base_url, "CONEXOES 6\r\n")

    assert game.run_through_message_box(FAILURE_BOX) == 0
    assert game.read("data/a.pak") == listed[0][1]
    assert game.game_record(wait=1.0) is None
    messages = game.log_messages()
    assert "manifesto inconsistente: data\\a.pak e DATA\\A.PAK sao o mesmo arquivo com hashes diferentes" in messages
    assert [p for p, _ in fault_server.requests if p != "/manifesto.txt"] == ["/data/a.pak"]
    assert messages[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto"


def test_a_first_install_at_latency_brings_every_file_into_nested_folders_over_several_connections(game, release, nginx, far_away):
    files = {f"data{i % 7}/part{i % 3}/file{i:03d}.bin": release.add(f"data{i % 7}\\part{i % 3}\\file{i:03d}.bin",
                                                                      pattern(1000 + i * 97, seed=i))
             for i in range(300)}
    release.add("client.exe", STUB_GAME.read_bytes())
    release.publish("2.0")
    game.configure(far_away(nginx))

    assert game.run(timeout=120) == 0
    assert all(game.read(path) == data for path, data in files.items())
    assert game.game_record() is not None
    assert download_phase(game) == [f"Downloading {n} of 301..." for n in range(1, 302)] + [
        "Updated to version 2.0.", GAME_STARTED]
    connections = {r["connection"] for r in nginx.requests() if r["request"].startswith("GET /data")}
    assert len(connections) > 1, "every file came over one connection, one after the other"
