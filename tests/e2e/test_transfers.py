"""Transfers over a network that misbehaves, end to end: a body cut short is
resumed with a Range request (or started over where the server ignores Range),
a temporary file of other bytes is replaced, a stalled or dripping server ends
the run instead of holding it (the fault server's and nginx's), a manifest
that never finishes ends it within its bound, an answer beyond its cap is left
unread while the run goes on, and a file another program holds for a moment
is still replaced."""
import subprocess
import time

import pytest

from conftest import HOLD_FILE, LAUNCHER_SHORT_TIMEOUTS, STUB_GAME, WINE_RUN, GameFolder, Nginx, pattern, windows_path
from test_update import (GAME_STARTED, close_window_and_let_the_run_end, close_window_then_dismiss_the_failure,
                         messages_after_start)


def test_a_cut_body_is_resumed_and_a_stale_temporary_replaced(game, release, fault_server):
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", pattern(300_000))
    other = release.add("data\\b.pak", pattern(80_000, seed=5))
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("cut", 100_000, 1)
    game.write("data/b.pak.tmp", pattern(30_000, seed=9))  # left by an older release's broken run
    game.configure(fault_server.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert game.read("data/b.pak") == other
    assert not list(game.root.rglob("*.tmp"))
    assert game.game_record() is not None
    ranges = [(path, asked) for path, asked in fault_server.ranges if path != "/manifesto.txt"]
    assert [r for r in ranges if r[0] == "/data/a.pak"] == [("/data/a.pak", None), ("/data/a.pak", "bytes=100000-")]
    assert [r for r in ranges if r[0] == "/data/b.pak"] == [("/data/b.pak", "bytes=30000-"), ("/data/b.pak", None)]
    messages = messages_after_start(game)
    url = fault_server.base_url + "data/a.pak"
    assert f"transferencia interrompida em {url} (100000 bytes recebidos)" in messages
    assert f"nova tentativa 2 de {url}" in messages
    assert "retomando data\\a.pak a partir de 100000 bytes" in messages
    assert any(m.startswith("hash nao confere em data\\b.pak") for m in messages)
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def test_a_cut_body_without_a_length_is_resumed_too(game, release, fault_server):
    """A chunked or close-delimited answer that breaks off ends like a whole one;
    only the listed size tells that bytes are missing."""
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", pattern(300_000))
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("close", 100_000, 1)
    game.configure(fault_server.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert game.game_record() is not None
    assert [asked for path, asked in fault_server.ranges if path == "/data/a.pak"] == [None, "bytes=100000-"]
    assert messages_after_start(game)[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def test_a_server_that_ignores_ranges_gets_the_file_started_over(game, release, fault_server):
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", pattern(200_000))
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("cut", 50_000, 2)
    fault_server.no_ranges = True
    game.configure(fault_server.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert [asked for path, asked in fault_server.ranges if path == "/data/a.pak"] == [
        None, "bytes=50000-", "bytes=50000-"]


def test_a_stalled_server_ends_the_run_with_the_blocking_failure(tmp_path, release, fault_server):
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SHORT_TIMEOUTS)
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\big.bin", pattern(100_000))
    release.publish("2.0")
    fault_server.faults["/data/big.bin"] = ("stall", 5000)
    game.configure(fault_server.base_url)

    close_window_then_dismiss_the_failure(game, timeout=40)  # the player gave up waiting
    assert game.game_record(wait=1.0) is None
    assert [path for path, _ in fault_server.requests].count("/data/big.bin") == 3
    assert game.log_messages()[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto"
    assert game.read("data/big.bin.tmp") == pattern(100_000)[:15_000]  # kept for the next start


def hold(path, seconds, share_reads=False):
    """Starts a program that holds the file open without sharing (or sharing reads
    only, as a game left running does); returns once it holds it."""
    marker = path.with_name(path.name + ".held")
    process = subprocess.Popen([str(WINE_RUN), str(HOLD_FILE), windows_path(path), str(int(seconds * 1000)),
                                *(["reads"] if share_reads else [])],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert marker.exists(), "the holder never held the file"
    return process


def test_a_file_held_for_a_moment_is_replaced_and_one_held_longer_fails_whole(game, release, fault_server):
    release.add("client.exe", STUB_GAME.read_bytes())
    fresh = release.add("data\\a.pak", pattern(40_000))
    release.publish("2.0")
    game.configure(fault_server.base_url)

    game.write("data/a.pak", b"the old pack")
    holder = hold(game.path("data/a.pak"), 1.5)  # a virus scanner's look
    assert game.run() == 0
    holder.wait(timeout=20)
    assert game.read("data/a.pak") == fresh
    assert game.game_record() is not None

    game.write("data/a.pak", b"the old pack")
    game.path("stub_game_record.txt").unlink()
    holder = hold(game.path("data/a.pak"), 8.0)  # a game left running
    try:
        assert game.run_through_message_box("Quorvane - Updater") == 0
    finally:
        holder.wait(timeout=30)
    assert game.read("data/a.pak") == b"the old pack"
    assert not game.path("data/a.pak.tmp").exists()
    assert any(m.startswith("nao consegui renomear data\\a.pak.tmp para data\\a.pak (") for m in game.log_messages())


def seconds_of(line):
    """The time of a log line ("[dd/mm hh:mm:ss] ..."), in seconds of its day."""
    hours, minutes, seconds = (int(part) for part in line[7:15].split(":"))
    return hours * 3600 + minutes * 60 + seconds


def logged_at(game, prefix):
    """The time of the first log line whose message starts with prefix."""
    lines = [line for line in game.log().split("\r\n") if line[len("[dd/mm hh:mm:ss] "):].startswith(prefix)]
    assert lines, f"no log line starts with {prefix!r}"
    return seconds_of(lines[0])


def body_bytes_sent(nginx, path, timeout=10.0):
    """What nginx sent of the body at path, once it logged that answer (it logs when the connection ends)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sent = [int(r["bytes"]) for r in nginx.requests() if r["request"].split(" ")[1] == path]
        if sent:
            return sent[-1]
        time.sleep(0.2)
    raise AssertionError(f"nginx never logged {path}")


HUGE_ANSWER = 200 << 20
HUGE_MANIFEST_ANSWER = 300 << 20  # beyond the manifest's own cap of 256 MB


def huge_file(path, size=HUGE_ANSWER):
    """Bytes that nginx serves from the page cache at loopback speed."""
    with open(path, "wb") as file:
        file.truncate(size)


def test_a_manifest_answer_far_beyond_its_cap_is_left_unread_and_the_run_goes_on(game, release, nginx):
    """nginx sends a misdirected 300 MB answer at the manifest's URL: refused by
    its Content-Length, never read further, and the run goes on at once."""
    release.add("client.exe", STUB_GAME.read_bytes())
    release.publish("2.0")
    huge_file(release.served / "manifesto.txt", HUGE_MANIFEST_ANSWER)
    game.write("client.exe", STUB_GAME.read_bytes())  # installed by an earlier run
    game.configure(nginx.base_url)

    assert game.run() == 0
    assert game.game_record() is not None  # the server could not be asked: the game starts
    url = nginx.base_url + "manifesto.txt"
    refused = logged_at(game, f"resposta grande demais em {url} ({HUGE_MANIFEST_ANSWER} bytes, limite de 268435456)")
    assert logged_at(game, f"manifesto indisponivel em {url}") - refused <= 2
    assert body_bytes_sent(nginx, "/manifesto.txt") < HUGE_MANIFEST_ANSWER // 4


def test_a_file_answer_beyond_its_cap_is_left_unread_and_the_next_file_still_comes(game, release, nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\a.pak", pattern(100_000))
    other = release.add("data\\b.pak", pattern(80_000, seed=3))
    release.publish("2.0")
    (release.served / "data" / "a.pak").unlink()
    huge_file(release.served / "data" / "a.pak")  # far beyond twice the listed size and 16 MB
    game.configure(nginx.base_url)

    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert game.read("data/b.pak") == other
    assert not game.path("data/a.pak").exists()
    assert game.game_record(wait=1.0) is None
    url = nginx.base_url + "data/a.pak"
    refused = logged_at(game, f"resposta grande demais em {url} ({HUGE_ANSWER} bytes, limite de ")
    assert logged_at(game, "falhou: data\\a.pak") - refused <= 2
    assert body_bytes_sent(nginx, "/data/a.pak") < HUGE_ANSWER // 4


MANY_HUGE_ANSWERS = 400 << 20  # each file's answer, where 100 000 bytes are listed


@pytest.mark.parametrize("files, connections", [(6, 1), (8, 6)])
def test_every_answer_beyond_its_cap_is_cut_off_however_many_there_are(game, release, nginx, files, connections):
    """Every file is answered with 400 MB where 100 000 bytes are listed: each answer is cut off
    with its connection, nginx sends a small share of it, and the run ends within seconds."""
    release.add("client.exe", STUB_GAME.read_bytes())
    names = [f"data/f{i}.pak" for i in range(files)]
    for i, name in enumerate(names):
        release.add(name.replace("/", "\\"), pattern(100_000, seed=i))
    release.publish("2.0")
    for name in names:
        (release.served / name).unlink()
        huge_file(release.served / name, MANY_HUGE_ANSWERS)
    game.configure(nginx.base_url, f"CONEXOES {connections}\r\n")

    started = time.monotonic()
    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert time.monotonic() - started < 10
    assert game.log_messages()[-1] == f"BLOQUEADO: {files} arquivo(s) falharam, jogo nao foi aberto"
    for name in names:
        assert body_bytes_sent(nginx, "/" + name) < MANY_HUGE_ANSWERS // 16, name


def test_endless_answers_are_cut_off_and_closing_the_window_ends_the_run(game, release, fault_server):
    """Six files answered by a server that announces a petabyte and sends for ever: each answer is
    cut off at once; the player closed the window during the run, and the process ends."""
    release.add("client.exe", STUB_GAME.read_bytes())
    first = release.add("data\\a.pak", pattern(400_000))
    names = [f"data/f{i}.pak" for i in range(6)]
    for i, name in enumerate(names):
        release.add(name.replace("/", "\\"), pattern(100_000, seed=i))
        fault_server.faults["/" + name] = ("endless", 1 << 50)
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("slow", 3.0)  # outlasts the player closing the window
    game.configure(fault_server.base_url, "CONEXOES 1\r\n")

    started = time.monotonic()
    close_window_then_dismiss_the_failure(game, timeout=30)
    assert time.monotonic() - started < 20
    assert game.read("data/a.pak") == first
    assert game.log_messages()[-1] == "BLOQUEADO: 6 arquivo(s) falharam, jogo nao foi aberto"
    for name in names:
        assert fault_server.sent.get("/" + name, 0) < 64 << 20, name


def test_a_server_silent_before_its_headers_is_asked_again(tmp_path, release, fault_server):
    """The first request of the manifest and of a file gets no answer at all (the test build waits
    2 s): each is a broken transfer, asked again, and the second answer brings it."""
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SHORT_TIMEOUTS)
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", pattern(50_000))
    release.publish("2.0")
    fault_server.faults["/manifesto.txt"] = ("silent", 1)
    fault_server.faults["/data/a.pak"] = ("silent", 1)
    game.configure(fault_server.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert game.game_record() is not None
    asked = [path for path, _ in fault_server.requests]
    assert asked.count("/manifesto.txt") == 2 and asked.count("/data/a.pak") == 2, asked
    assert f"nova tentativa 2 de {fault_server.base_url}data/a.pak" in game.log_messages()


def test_a_manifest_that_never_finishes_ends_the_run_within_its_bound(tmp_path, release, fault_server):
    """1 100 bytes every 1.5 s never counts as stalled (the test build's stall
    window is 2 s), but the whole manifest must arrive within 16 s (120 s in the
    launcher): the run ends as when the server cannot be reached, and the game
    starts."""
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SHORT_TIMEOUTS)
    release.add("client.exe", STUB_GAME.read_bytes())
    release.publish("2.0")
    (release.served / "manifesto.txt").write_bytes(b"# " + b"x" * 60_000 + b"\r\n")
    fault_server.faults["/manifesto.txt"] = ("drip", 1100, 1.5)
    game.write("client.exe", STUB_GAME.read_bytes())
    game.configure(fault_server.base_url)

    started = time.monotonic()
    assert game.run() == 0
    assert time.monotonic() - started < 30  # 16 s, the bar's easing and Wine's start
    assert game.game_record() is not None
    messages = messages_after_start(game)
    url = fault_server.base_url + "manifesto.txt"
    assert f"resposta incompleta em {url} apos 16 s" in messages
    assert "Could not check for updates; starting the game anyway." in messages
    assert not any(m.startswith("nova tentativa") for m in messages)


def test_a_server_that_stalls_or_drips_ends_the_run_through_nginx_too(tmp_path, release):
    """nginx sends the first 15 000 bytes and then 1 byte a second (a stall), or 300 bytes a second from
    the start, a few at a time (a drip): the file is tried three times and the run blocks the game."""
    stub = release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\big.bin", pattern(100_000))
    release.publish("2.0")
    for name, rate, rate_after, sendfile in (("stall", 1, 15_000, True), ("drip", 300, 0, False)):
        (tmp_path / name).mkdir()
        game = GameFolder(tmp_path / name, launcher=LAUNCHER_SHORT_TIMEOUTS)
        game.write("client.exe", stub)  # only the big file comes through the slow server
        server = Nginx(release.served, tmp_path / f"nginx-{name}", rate=rate, rate_after=rate_after, sendfile=sendfile)
        try:
            game.configure(server.base_url)
            assert game.run_through_message_box("Quorvane - Updater", timeout=60) == 0, name
            asked = [r for r in server.requests() if r["request"].split(" ")[1] == "/data/big.bin"]
        finally:
            server.stop()
        assert len(asked) == 3, name
        assert game.game_record(wait=1.0) is None, name
        assert game.log_messages()[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto", name
        if name == "drip":  # a silent server may meet WinINet's receive time-out first
            # nginx sends once a second, so the first read past 2 s may bring the count over 1 KB; the
            # slow window catches that attempt instead.
            stalled = f"transferencia parada em {server.base_url}data/big.bin (menos de "
            assert sum(m.startswith(stalled) for m in game.log_messages()) == 3, game.log_messages()


def test_closing_the_window_while_nginx_sends_slowly_lets_the_download_finish(game, release, tmp_path):
    """The window goes while reads wait on WinINet; the update still finishes and the game starts."""
    release.add("client.exe", STUB_GAME.read_bytes())
    big = release.add("data\\big.bin", pattern(3_000_000))
    release.publish("2.0")
    server = Nginx(release.served, tmp_path / "nginx-slow", rate=600_000)
    try:
        game.configure(server.base_url)
        close_window_and_let_the_run_end(game)
    finally:
        server.stop()
    assert game.read("data/big.bin") == big
    assert game.game_record() is not None
    assert game.log_messages()[-2:] == ["Updated to version 2.0.", GAME_STARTED]
