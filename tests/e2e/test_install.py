"""The first run, as a player makes it: the folder dialog, the installed
layout, the shortcuts, and the installed launcher's own first update."""
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from conftest import (BUILD_DIR, STUB_GAME, WINE_RUN, dismiss_message_box, find_window, forget_serial_floors, press_key,
                      publish, start_nginx, stop_nginx)

USER = Path(os.environ.get("WINEPREFIX", BUILD_DIR / "wineprefix")) / "drive_c" / "users" / "root"
INSTALLED = USER / "Documents" / "Quorvane"
SHORTCUTS = [USER / "Desktop" / "Quorvane.lnk",
             USER / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" / "Programs" / "Quorvane.lnk"]
DEFAULT_PORT = 8080  # the build's default server address, http://127.0.0.1:8080/quorvane/


def remove_installation():
    """As if the game had never been installed: its folder, its shortcuts and its serial floor."""
    shutil.rmtree(INSTALLED, ignore_errors=True)
    for shortcut in SHORTCUTS:
        shortcut.unlink(missing_ok=True)
    forget_serial_floors()


@pytest.fixture
def clean_install():
    remove_installation()
    yield
    remove_installation()


@pytest.fixture
def default_server(tmp_path):
    """The sample game on the build's default address, when that port is free."""
    release = tmp_path / "release"
    release.mkdir()
    shutil.copy(STUB_GAME, release / "client.exe")
    (release / "data").mkdir()
    (release / "data" / "a.pak").write_bytes(b"pak" * 1000)
    publish(release, tmp_path / "root" / "quorvane", "1.0.42", no_config=True)  # the installer's launcher.cfg stays
    try:
        server, _ = start_nginx(tmp_path / "root", tmp_path / "nginx", DEFAULT_PORT)
    except RuntimeError:
        pytest.skip(f"port {DEFAULT_PORT} is taken on this machine")
    yield
    stop_nginx(server)


def lnk_fields(shortcut):
    output = subprocess.run(["lnkinfo", str(shortcut)], capture_output=True, text=True, check=True).stdout
    fields = {}
    for line in output.splitlines():
        if ":" in line:
            key, value = line.split(":", 1)
            fields[key.strip()] = value.strip()
    return fields


def wait_for_line(log, line, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if log.exists() and line in log.read_bytes().decode("latin-1"):
            return True
        time.sleep(0.2)
    return False


def test_first_run_installs_into_the_chosen_folder_and_the_installed_launcher_updates_the_game(
        game, clean_install, default_server):
    process = game.start()
    try:
        for key in ("Down", "Down", "Return"):  # Desktop, /, Documents: pick Documents
            press_key("Browse for Folder", key)
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()

    assert (INSTALLED / "launcher.exe").read_bytes() == game.read("launcher.exe")
    config = (INSTALLED / "launcher.cfg").read_bytes()
    assert b"URL_BASE    http://127.0.0.1:8080/quorvane/\r\nMANIFESTO   manifesto_completo.txt\r\n" in config
    for shortcut in SHORTCUTS:
        fields = lnk_fields(shortcut)
        assert fields["Local path"] == "C:\\users\\root\\Documents\\Quorvane\\launcher.exe"
        assert fields["Working directory"] == "C:\\users\\root\\Documents\\Quorvane"
        assert fields["Description"] == "Quorvane"
        assert fields["Icon index"] == "0"
    assert not game.path("launcher.cfg").exists()  # nothing is written where the installer ran

    log = INSTALLED / "launcher.log"
    assert wait_for_line(log, "Updated to version 1.0.42."), log.read_bytes() if log.exists() else "no log"
    assert "--- atualizador iniciado em C:\\users\\root\\Documents\\Quorvane" in log.read_bytes().decode("latin-1")
    assert (INSTALLED / "data" / "a.pak").read_bytes() == b"pak" * 1000
    deadline = time.monotonic() + 10
    while not (INSTALLED / "stub_game_record.txt").exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert (INSTALLED / "stub_game_record.txt").exists(), "the installed launcher did not start the game"


def test_cancelling_the_dialog_ends_with_one_and_no_message(game, clean_install):
    process = game.start()
    try:
        press_key("Browse for Folder", "Escape")
        assert process.wait(timeout=30) == 1
    finally:
        if process.poll() is None:
            process.kill()
    assert not INSTALLED.exists()
    assert not game.path("launcher.cfg").exists()
    with pytest.raises(AssertionError):
        find_window("Quorvane", timeout=1.0)


def registered():
    listed = subprocess.run([str(WINE_RUN), "uninstaller", "--list"], capture_output=True, text=True).stdout
    return "|||Quorvane" in listed


def uninstall(*keys):
    """Runs the installed launcher with -desinstalar and answers its question as a player would."""
    process = subprocess.Popen([str(WINE_RUN), "launcher.exe", "-desinstalar"], cwd=INSTALLED,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for key in keys:
            press_key("Quorvane", key)
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()


def test_an_installed_game_is_listed_and_uninstall_removes_what_it_installed(game, clean_install, default_server):
    process = game.start()
    try:
        for key in ("Down", "Down", "Return"):
            press_key("Browse for Folder", key)
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
    assert wait_for_line(INSTALLED / "launcher.log", "Updated to version 1.0.42.")
    assert registered()
    (INSTALLED / "screenshots").mkdir()
    (INSTALLED / "screenshots" / "mine.png").write_bytes(b"the player's own")
    deadline = time.monotonic() + 20  # the installed launcher lets go of the folder when it ends
    while (INSTALLED / "launcher.lock").exists() and time.monotonic() < deadline:
        time.sleep(0.2)

    uninstall("n")  # No
    assert (INSTALLED / "data" / "a.pak").exists() and all(shortcut.exists() for shortcut in SHORTCUTS)
    assert registered()

    uninstall("Return")
    dismiss_message_box("Quorvane")  # "Quorvane was removed. Files that were not installed by it were left in ..."
    deadline = time.monotonic() + 20
    while (INSTALLED / "launcher.exe").exists() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not (INSTALLED / "launcher.exe").exists()
    assert sorted(p.relative_to(INSTALLED).as_posix() for p in INSTALLED.rglob("*")) == [
        "screenshots", "screenshots/mine.png", "stub_game_record.txt"]
    assert not any(shortcut.exists() for shortcut in SHORTCUTS)
    assert not registered()
    deadline = time.monotonic() + 15  # the copy goes once its own process has ended
    while list((USER / "Temp").glob("quorvane-desinstalar-*.exe")) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not list((USER / "Temp").glob("quorvane-desinstalar-*.exe"))
