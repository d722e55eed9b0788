"""The trust road end to end: a refused manifest changes nothing (and the
uninstall keeps what it listed), the serial floor holds whatever becomes of
launcher.serie, the two manifests of a release cannot be swapped, answers are
bounded in size and in time, and the game is started from the game folder
only."""
import os
import time

from conftest import (LAUNCHER_SHORT_TIMEOUTS, STUB_GAME, GameFolder, dismiss_message_box, drive_letter, pattern,
                      press_key)
from publish_release import sha256_of
from test_signed_manifest import REFUSED, SIGN, signed_game
from test_transfers import hold
from test_update import GAME_STARTED, messages_after_start, wait_for


def refused_run(game, reason):
    """A run that refuses the manifest it got and still starts the game."""
    game.path("stub_game_record.txt").unlink(missing_ok=True)
    assert game.run() == 0
    assert game.game_record() is not None
    messages = messages_after_start(game)
    assert reason in messages, messages
    assert messages[-2:] == [REFUSED, GAME_STARTED]


def uninstall_here(game):
    """-desinstalar in the game folder, answered Yes, and the last box dismissed."""
    process = game.start("-desinstalar")
    try:
        press_key("Quorvane", "Return")  # "Remove Quorvane from this computer?"
        assert process.wait(timeout=30) == 0
        dismiss_message_box("Quorvane")  # the copy's "Quorvane was removed. ..."
    finally:
        if process.poll() is None:
            process.kill()
    assert wait_for(lambda: not game.path("launcher.exe").exists(), timeout=20)


def test_a_refused_manifest_changes_nothing_and_the_uninstall_keeps_what_it_listed(tmp_path, release, nginx):
    game = signed_game(tmp_path, release, nginx)
    release.add("data\\a.pak", pattern(20_000))
    release.publish("1.0", **SIGN)
    assert game.run() == 0
    accepted = game.read("manifesto.txt")
    save = game.write("saves/slot1.sav", b"the player's own save").read_bytes()

    # Someone on the path adds the player's save to the list, under the old signature.
    line = f"ARQUIVO {sha256_of(game.path('saves/slot1.sav'))} {len(save)} saves\\slot1.sav\n".encode()
    tampered = accepted.replace(b"NOME ", line + b"NOME ", 1)
    (release.served / "manifesto.txt").write_bytes(tampered)
    refused_run(game, "manifesto sem assinatura valida: manifesto.txt")
    # A captive portal's page, and an empty answer.
    for answer in (b"<html><body>Sign in to the hotel network</body></html>", b""):
        (release.served / "manifesto.txt").write_bytes(answer)
        refused_run(game, "manifesto sem assinatura valida: manifesto.txt")
    assert game.read("manifesto.txt") == accepted
    assert not game.path("manifesto.txt.tmp").exists()

    uninstall_here(game)
    assert game.read("saves/slot1.sav") == save
    assert not game.path("data/a.pak").exists()
    assert not game.path("manifesto.txt").exists() and not game.path("launcher.cfg").exists()


def test_the_serial_floor_holds_when_launcher_serie_is_emptied_or_held_and_under_another_path(tmp_path, release,
                                                                                               nginx):
    game = signed_game(tmp_path, release, nginx)
    release.add("data\\a.pak", pattern(20_000))
    release.publish("1.0", **SIGN)
    first = (release.served / "manifesto.txt").read_bytes()
    with drive_letter("q", tmp_path) as drive:
        game.program = drive + "\\game\\launcher.exe"  # the same folder under another path
        assert game.run() == 0
        assert game.read("launcher.serie") == b"1\r\n"
    game.program = "launcher.exe"
    release.add("data\\a.pak", pattern(20_000, seed=2))
    release.publish("1.1", **SIGN)
    assert game.run() == 0
    assert game.read("launcher.serie") == b"2\r\n"

    (release.served / "manifesto.txt").write_bytes(first)  # the older release, replayed
    game.write("launcher.serie", b"")  # a power cut after a rename whose data never reached the disk
    refused_run(game, "manifesto mais antigo que o aceito: serie 1 < 2")
    assert game.read("launcher.serie") == b"2\r\n"  # rewritten from the registry's copy

    with drive_letter("q", tmp_path) as drive:
        game.program = drive + "\\game\\launcher.exe"
        holder = hold(game.path("launcher.serie"), 8.0)  # a backup's long look
        try:
            refused_run(game, "launcher.serie em uso por outro programa (32); nenhum manifesto e aceito nesta execucao")
        finally:
            holder.wait(timeout=30)
        assert game.read("launcher.serie") == b"2\r\n"
        game.path("launcher.serie").unlink()  # a player's clean-up
        refused_run(game, "manifesto mais antigo que o aceito: serie 1 < 2")
    assert game.read("launcher.serie") == b"2\r\n"
    assert game.read("data/a.pak") == pattern(20_000, seed=2)


def test_the_two_manifests_of_a_release_cannot_be_swapped(tmp_path, release, nginx):
    game = signed_game(tmp_path, release, nginx)
    release.add("settings.ini", b"the studio's defaults")
    release.add("data\\a.pak", pattern(20_000))
    release.publish("1.0", leave_out=["settings.ini"], **SIGN)
    game.write("settings.ini", b"the player's own settings")
    assert game.run() == 0
    assert game.read("settings.ini") == b"the player's own settings"

    served = release.served
    complete, normal = (served / "manifesto_completo.txt").read_bytes(), (served / "manifesto.txt").read_bytes()
    (served / "manifesto.txt").write_bytes(complete)
    refused_run(game, "manifesto com outro nome: manifesto.txt")
    assert game.read("settings.ini") == b"the player's own settings"

    # A first installation asks for the complete list; the normal one would leave its game incomplete.
    (served / "manifesto.txt").write_bytes(normal)
    (served / "manifesto_completo.txt").write_bytes(normal)
    game.configure(nginx.base_url, "MANIFESTO manifesto_completo.txt\r\n")
    refused_run(game, "manifesto com outro nome: manifesto_completo.txt")


def test_an_endless_manifest_answer_is_not_read_to_its_end(game, fault_server):
    fault_server.faults["/manifesto.txt"] = ("huge", 320 << 20)  # beyond the 256 MB a manifest may take
    game.write("client.exe", STUB_GAME.read_bytes())
    game.configure(fault_server.base_url)

    assert game.run() == 0
    assert game.game_record() is not None  # the server could not be asked: the game starts as it is
    assert fault_server.sent["/manifesto.txt"] < 300 << 20
    messages = messages_after_start(game)
    assert any(m.startswith(f"resposta grande demais em {fault_server.base_url}manifesto.txt (") for m in messages)
    assert messages[-3:] == [REFUSED, f"manifesto indisponivel em {fault_server.base_url}manifesto.txt", GAME_STARTED]
    assert not game.path("manifesto.txt").exists() and not game.path("manifesto.txt.tmp").exists()


def test_a_server_that_drips_lets_the_run_end(tmp_path, release, fault_server):
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SHORT_TIMEOUTS)  # a stall window of 2 s
    release.add("client.exe", STUB_GAME.read_bytes())
    release.publish("2.0")
    with open(release.served / "manifesto.txt", "ab") as manifest:
        manifest.write(b"# a long comment\n" * 10_000)  # hours at the drip's pace
    fault_server.faults["/manifesto.txt"] = ("drip", 10, 1.0)  # 10 bytes a second
    game.write("client.exe", STUB_GAME.read_bytes())
    game.configure(fault_server.base_url)

    started = time.monotonic()
    assert game.run(timeout=60) == 0
    assert time.monotonic() - started < 40
    assert game.game_record() is not None
    messages = messages_after_start(game)
    url = fault_server.base_url + "manifesto.txt"
    assert messages.count(f"transferencia parada em {url} (menos de 1024 bytes em 2 s)") == 3
    assert messages[-2:] == [f"manifesto indisponivel em {url}", GAME_STARTED]


def test_a_missing_game_is_not_looked_for_along_the_path(game, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "qrvpathgame.exe").write_bytes(STUB_GAME.read_bytes())
    game.write("launcher.cfg", "EXECUTAVEL qrvpathgame.exe\r\n")  # no server: the game starts as it is
    env = dict(os.environ, WINEPATH="Z:" + str(elsewhere).replace("/", "\\"))

    assert game.run(env=env) == 0
    assert game.game_record(wait=3.0) is None
    assert not (elsewhere / "stub_game_record.txt").exists()
    assert game.log_messages()[-1] == "FALHA: Could not start qrvpathgame.exe (error 2)."


def test_a_game_outside_the_game_folder_is_not_started(game, tmp_path):
    (tmp_path / "x.exe").write_bytes(STUB_GAME.read_bytes())
    game.write("launcher.cfg", "EXECUTAVEL ..\\x.exe\r\n")  # no server: the game starts as it is

    assert game.run() == 0
    assert game.game_record(wait=3.0) is None
    assert not (tmp_path / "stub_game_record.txt").exists()
    assert game.log_messages()[-2:] == ["EXECUTAVEL recusado: ..\\x.exe fica fora da pasta do jogo",
                                        "FALHA: Could not start ..\\x.exe (error 2)."]
