"""The update engine end to end: the real launcher.exe under Wine against a
real nginx, and against a server that misbehaves on purpose."""
import hashlib
import os
import random
import time

from pathlib import Path

from conftest import (BUILD_DIR, LAUNCHER, LAUNCHER_CODESIGNED, LAUNCHER_NEXT, STUB_GAME, GameFolder, dismiss_message_box, find_window, pattern,
                      press_key, windows_path)

PREFIX_DRIVE_C = Path(os.environ.get("WINEPREFIX", BUILD_DIR / "wineprefix")) / "drive_c"

GAME_STARTED = "jogo iniciado: client.exe"  # the last line of a run that started the game

UPDATED_RUN = [
    "Checking for updates...",
    "manifesto pedido: {base_url}manifesto.txt",
    "manifesto lido: versao '1.0.42', 4 arquivo(s)",
    "Checking game files...",
    "2 arquivo(s) para baixar",
    "Downloading 1 of 2...",
    "Downloading 2 of 2...",
    "Updated to version 1.0.42.",
    GAME_STARTED,
]


def messages_after_start(game):
    """The log's messages after the last start line."""
    messages = game.log_messages()
    starts = [i for i, m in enumerate(messages) if m.startswith("--- atualizador iniciado em ")]
    return messages[starts[-1] + 1:]


def test_typical_road_through_nginx_fetches_two_files_and_starts_the_game(game, release, nginx):
    stub = release.add("client.exe", STUB_GAME.read_bytes())
    readme = release.add("readme.txt", b"Quorvane\r\n")
    pack = release.add("data\\a.pak", pattern(300_000))
    blank = release.add("data\\maps\\b b.pak", pattern(70_000, seed=9))
    release.publish("1.0.42")
    game.write("client.exe", stub)
    game.write("readme.txt", readme)
    game.write("data/a.pak", b"an older pack")
    game.configure(nginx.base_url)

    assert game.run() == 0
    record = game.game_record()
    assert record is not None and record["cwd"].lower() == windows_path(game.root).lower()
    assert game.read("data/a.pak") == pack
    assert game.read("data/maps/b b.pak") == blank
    assert messages_after_start(game) == [m.format(base_url=nginx.base_url) for m in UPDATED_RUN]
    assert not list(game.root.rglob("*.tmp"))

    requests = nginx.requests()  # in the order they were answered: the files were fetched at once
    assert requests[0]["request"] == "GET /manifesto.txt HTTP/1.1"
    assert sorted(r["request"] for r in requests[1:]) == [
        "GET /data/a.pak HTTP/1.1", "GET /data/maps/b%20b.pak HTTP/1.1"]
    assert {r["agent"] for r in requests} == {"QRV-Launcher/1.0"}
    assert max(int(r["requests"]) for r in requests) > 1, "the connection was not kept alive"

    # A second start finds everything current.
    assert game.run() == 0
    assert messages_after_start(game)[-2:] == ["The game is up to date.", GAME_STARTED]


def test_file_that_does_not_match_blocks_the_game_and_the_player_is_told(game, release, fault_server):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\a.pak", pattern(5000))
    good = release.add("data\\b.pak", pattern(6000, seed=3))
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("wrong", b"not the published bytes")
    game.configure(fault_server.base_url)

    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert game.game_record(wait=1.0) is None
    assert game.read("data/b.pak") == good
    assert not game.path("data/a.pak").exists()
    messages = game.log_messages()
    assert "falhou: data\\a.pak" in messages
    assert any(m.startswith("hash nao confere em data\\a.pak (esperado ") for m in messages)
    assert "FALHA: 1 file(s) could not be updated." in messages
    assert messages[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto"


def wait_for(condition, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.2)
    return False


def test_newer_launcher_replaces_the_running_one_and_starts_the_game(game, release, nginx):
    newer = release.add("launcher.exe", LAUNCHER_NEXT.read_bytes())
    assert newer != LAUNCHER.read_bytes()
    release.add("client.exe", STUB_GAME.read_bytes())
    data = release.add("data\\x.bin", pattern(4000))
    release.publish("1.0.42", objects=True)
    game.configure(nginx.base_url)

    assert game.run() == 0  # the old process ends without starting the game
    assert game.read("launcher.exe") == newer
    assert game.game_record(wait=30) is not None, "the new launcher did not start the game"
    assert wait_for(lambda: game.log_messages()[-2:] == ["Updated to version 1.0.42.", GAME_STARTED])
    messages = game.log_messages()
    assert messages.count("Updating the updater itself...") == 1  # the new one found itself current
    replaced_at = messages.index("Updating the updater itself...")
    next_start = next(i for i in range(replaced_at, len(messages))
                      if messages[i].startswith("--- atualizador iniciado em "))
    assert "Checking game files..." not in messages[replaced_at:next_start]  # the old one stopped there
    assert game.read("data/x.bin") == data

    new_launcher = f"GET /objetos/{hashlib.sha256(newer).hexdigest()} HTTP/1.1"
    assert new_launcher in [r["request"] for r in nginx.requests()], "the new launcher comes by its digest"

    game.path("stub_game_record.txt").unlink()
    assert game.run() == 0
    assert not game.path("launcher.velho").exists()
    assert messages_after_start(game)[-2:] == ["The game is up to date.", GAME_STARTED]


def test_newer_launcher_that_arrives_damaged_leaves_the_running_one(game, release, fault_server):
    release.add("launcher.exe", LAUNCHER_NEXT.read_bytes())
    release.add("client.exe", STUB_GAME.read_bytes())
    data = release.add("data\\x.bin", pattern(4000))
    release.publish("1.0.42")
    fault_server.faults["/launcher.exe"] = ("wrong", b"MZ but not the published build")
    game.configure(fault_server.base_url)

    assert game.run() == 0
    assert game.read("launcher.exe") == LAUNCHER.read_bytes()
    assert not game.path("launcher.novo").exists()
    assert game.game_record() is not None
    assert game.read("data/x.bin") == data
    messages = game.log_messages()
    assert any(m.startswith("hash nao confere em launcher.novo (esperado ") for m in messages)
    assert "nao consegui baixar a versao nova do atualizador; sigo com a atual" in messages
    assert messages[-2:] == ["Updated to version 1.0.42.", GAME_STARTED]


def test_closing_the_window_during_a_slow_download_does_not_cancel_the_update(game, release, fault_server):
    release.add("client.exe", STUB_GAME.read_bytes())
    big = release.add("data\\big.bin", pattern(2_000_000))
    release.publish("1.0.42")
    fault_server.faults["/data/big.bin"] = ("slow", 5.0)
    game.configure(fault_server.base_url)

    close_window_and_let_the_run_end(game)
    assert game.read("data/big.bin") == big
    assert game.game_record() is not None
    assert game.log_messages()[-2:] == ["Updated to version 1.0.42.", GAME_STARTED]


def close_window_and_let_the_run_end(game):
    """The player closes the splash during the run: the process outlives the window and ends by itself."""
    process = game.start()
    try:
        close_window_while_the_run_goes_on()
        assert process.poll() is None, "closing the window ended the run before the update"
        assert process.wait(timeout=60) == 0
    finally:
        if process.poll() is None:
            process.kill()


def close_window_while_the_run_goes_on():
    """Escape on the splash, as a player would, and wait for the window to go."""
    press_key("Quorvane", "Escape")
    assert wait_for(lambda: not _window_exists("Quorvane"), timeout=10)


def _window_exists(title):
    try:
        find_window(title, timeout=0.3)
        return True
    except AssertionError:
        return False


def test_hostile_manifest_writes_nothing_outside_the_game_folder(game, fault_server, tmp_path):
    fault_server.answer_everything = True
    absolute = windows_path(tmp_path / "escaped3.txt")
    hostile = ["..\\escaped1.txt", "data\\..\\..\\escaped2.txt", absolute, "C:\\escaped4.txt", "NUL"]
    digest = "0" * 64
    lines = ["VERSAO 6.6.6"] + [f"ARQUIVO {digest} 5 {path}" for path in hostile]
    (tmp_path / "served" / "manifesto.txt").write_text("\n".join(lines) + "\n")
    game.configure(fault_server.base_url)
    before = sorted(os.listdir(tmp_path))

    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert sorted(os.listdir(tmp_path)) == before
    assert not (game.root.parent / "escaped1.txt").exists()
    assert not (PREFIX_DRIVE_C / "escaped4.txt").exists()
    assert [path for path, _ in fault_server.requests] == ["/manifesto.txt"]
    messages = game.log_messages()
    for path in hostile:
        assert f"caminho inseguro recusado: {path}" in messages
    assert messages[-1] == "BLOQUEADO: 5 arquivo(s) falharam, jogo nao foi aberto"
    assert game.game_record(wait=1.0) is None


def test_failure_still_reaches_the_player_after_the_window_was_closed(game, release, fault_server, tmp_path):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\big.bin", pattern(1_000_000))
    release.publish("1.0.42")
    (tmp_path / "served" / "data" / "big.bin").write_bytes(pattern(1_000_000, seed=2))  # no longer matches
    fault_server.faults["/data/big.bin"] = ("slow", 4.0)
    game.configure(fault_server.base_url)

    close_window_then_dismiss_the_failure(game, timeout=30)
    assert game.game_record(wait=1.0) is None
    assert game.log_messages()[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto"


def close_window_then_dismiss_the_failure(game, timeout):
    """A player who closed the splash still gets the failure box, and the process ends once it is dismissed."""
    process = game.start()
    try:
        close_window_while_the_run_goes_on()
        dismiss_message_box("Quorvane - Updater", timeout=timeout)
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()


def test_a_signed_launcher_runs_its_update_road(tmp_path, release, nginx):
    """A studio signs launcher.exe at build time and publishes the signed file:
    the running signed launcher finds itself current and updates the game."""
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_CODESIGNED)
    release.add("launcher.exe", LAUNCHER_CODESIGNED.read_bytes())
    release.add("client.exe", STUB_GAME.read_bytes())
    data = release.add("data\\x.bin", pattern(3000))
    release.publish("1.0.42")
    game.configure(nginx.base_url)

    assert game.run() == 0
    assert game.read("data/x.bin") == data
    assert game.game_record() is not None
    assert "Updating the updater itself..." not in game.log_messages()


def test_a_second_launcher_started_during_a_run_gives_way(game, release, fault_server):
    """A player who double-clicks again: one run fetches, the other ends at once."""
    release.add("client.exe", STUB_GAME.read_bytes())
    big = release.add("data\\big.bin", pattern(500_000))
    release.publish("1.0.42")
    fault_server.faults["/data/big.bin"] = ("slow", 9.0)
    game.configure(fault_server.base_url)

    first = game.start()
    try:
        time.sleep(1.0)
        second = game.start()
        assert second.wait(timeout=15) == 0
        assert first.poll() is None, "the second launcher outlived the first"
        assert first.wait(timeout=60) == 0
    finally:
        if first.poll() is None:
            first.kill()
    assert game.read("data/big.bin") == big
    record = game.game_record()
    assert record is not None
    assert game.read("stub_game_record.txt").count(b"cwd=") == 1, "the game was started twice"
    messages = game.log_messages()
    assert messages.count("outro atualizador ja esta em execucao nesta pasta") == 1
    assert [path for path, _ in fault_server.requests].count("/manifesto.txt") == 1
    assert not any(m.startswith("FALHA") for m in messages)


def test_a_stale_path_copy_behind_a_cache_cannot_block_a_release_published_with_objects(game, release, nginx):
    """A CDN edge that still hands out yesterday's copy under a path URL: files
    fetched by their digest never meet it; by path they do (the old way)."""
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\a.pak", pattern(60_000))
    release.publish("1.0", objects=True)
    fresh = release.add("data\\a.pak", random.Random(5).randbytes(60_000))  # no compressed form: the raw object
    release.publish("2.0", objects=True)
    release.serve_stale("data\\a.pak", pattern(60_000))
    game.configure(nginx.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == fresh
    assert messages_after_start(game)[-2:] == ["Updated to version 2.0.", GAME_STARTED]
    assert f"GET /objetos/{hashlib.sha256(fresh).hexdigest()} HTTP/1.1" in [r["request"] for r in nginx.requests()]

    game.path("data/a.pak").unlink()
    game.path("stub_game_record.txt").unlink()
    release.publish("2.0")  # by path only
    release.serve_stale("data\\a.pak", pattern(60_000))
    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert game.game_record(wait=1.0) is None
    assert any(m.startswith("hash nao confere em data\\a.pak") for m in messages_after_start(game))


def test_an_object_the_server_lost_is_fetched_by_its_path(game, release, nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", random.Random(1).randbytes(60_000))  # no compressed form: the raw object
    release.publish("1.0", objects=True)
    release.object_path(pack).unlink()
    game.configure(nginx.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    messages = messages_after_start(game)
    object_url = f"{nginx.base_url}objetos/{hashlib.sha256(pack).hexdigest()}"
    assert f"objeto indisponivel (HTTP 404) em {object_url}; sigo por {nginx.base_url}data/a.pak" in messages
    assert messages[-2:] == ["Updated to version 1.0.", GAME_STARTED]
