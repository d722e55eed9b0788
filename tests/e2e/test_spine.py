"""The launcher's spine end to end: run modes, the run log and the game start."""
from conftest import press_key, windows_path


def test_normal_run_without_server_starts_the_game_in_its_folder(game):
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    assert game.run() == 0
    record = game.game_record()
    assert record is not None, "the game was not started"
    assert record["cwd"].lower() == windows_path(game.root).lower()
    assert record["args"] == ""
    messages = game.log_messages()
    assert messages == [
        "--- atualizador iniciado em " + windows_path(game.root),
        "No launcher.cfg: cannot check for updates. Starting the game.",
        "URL_BASE vazia ou launcher.cfg ausente",
        "jogo iniciado: stubgame.exe",
    ]


def test_missing_game_is_logged_without_a_message_box(game):
    game.write("launcher.cfg", "EXECUTAVEL absent.exe\n")
    assert game.run(timeout=30) == 0  # a message box would hold the process
    assert game.log_messages()[-1] == "FALHA: Could not start absent.exe (error 2)."


def test_old_launcher_is_deleted_at_start(game):
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    game.write("launcher.velho", "previous executable")
    assert game.run() == 0
    assert not game.path("launcher.velho").exists()


def test_self_test_switch_with_a_trailing_blank_is_a_normal_run(game):
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    assert game.run_raw(" -disconnectreportretentiontest ") == 0
    assert game.game_record() is not None
    assert "--- atualizador iniciado em " + windows_path(game.root) in game.log_messages()


def test_exact_self_test_switch_makes_no_run_log_and_starts_nothing(game):
    game.write("launcher.cfg", "EXECUTAVEL stubgame.exe\n")
    game.write("launcher.velho", "kept: the self-test runs alone")
    game.run_raw(" -disconnectreportretentiontest")
    assert not game.path("launcher.log").exists()
    assert game.path("launcher.velho").exists()
    assert game.game_record(wait=1.0) is None


def test_test_mode_shows_the_splash_until_escape_and_never_installs(game):
    process = game.start("-teste")
    try:
        press_key("Quorvane", "Escape")
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
    assert not game.path("launcher.cfg").exists()
    assert game.log_messages()[-1] == "--- atualizador iniciado em " + windows_path(game.root) + " (MODO DE TESTE)"
    assert game.game_record(wait=1.0) is None


def test_proof_mode_without_an_arte_folder_writes_nothing_and_ends(game):
    assert game.run("-provas", timeout=60) == 0
    assert game.log_messages()[-1] == "--- atualizador iniciado em " + windows_path(game.root)
    assert sorted(p.name for p in game.root.iterdir()) == ["launcher.exe", "launcher.log", "stubgame.exe"]
