"""Transfers over a network that misbehaves, end to end: a body cut short is
resumed with a Range request (or started over where the server ignores Range),
a temporary file of other bytes is replaced, a stalled server ends the run
instead of holding it, and a file another program holds for a moment is still
replaced."""
import subprocess
import time

from conftest import HOLD_FILE, LAUNCHER_SHORT_TIMEOUTS, STUB_GAME, WINE_RUN, GameFolder, pattern, windows_path
from test_update import GAME_STARTED, close_window_then_dismiss_the_failure, messages_after_start


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
