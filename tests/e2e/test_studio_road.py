"""A studio's road as the README's "Shipping your game" writes it: its
commands run as they stand (so the section cannot drift from the tools), and
a player installs the published game through the folder dialog, gets an
update and is protected from a manifest changed on the way."""
import hashlib
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from conftest import SOURCE_DIR, STUB_GAME, WINE_RUN, pattern, press_key
from publish_release import sha256_of
from test_compressed import one_frame
from test_install import INSTALLED, clean_install, wait_for_line  # noqa: F401 (a fixture)

SECTION = "## Shipping your game"
ADDRESS_PORT = 8080  # the section's address, http://127.0.0.1:8080/quorvane/


def readme_commands():
    """The commands of the section, in order: its code lines, indented inside the steps."""
    text = (SOURCE_DIR / "README.md").read_text()
    section = text.split(SECTION + "\n", 1)[1].split("\n## ", 1)[0]
    return [line.strip() for line in section.splitlines() if re.match(r"^ {7}\S", line)]


def run_step(command, env, cwd=SOURCE_DIR):
    result = subprocess.run(["bash", "-c", command], cwd=cwd, env=env, capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, f"{command}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result


def port_is_free(port):
    """Nothing listens there (connections of earlier tests may still linger, as nginx allows)."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def wait_until_unlocked(folder, timeout=20):
    deadline = time.monotonic() + timeout
    while (folder / "launcher.lock").exists() and time.monotonic() < deadline:
        time.sleep(0.2)


def run_installed():
    """A player's later start of the installed launcher; answers the new lines of its log."""
    wait_until_unlocked(INSTALLED)
    (INSTALLED / "stub_game_record.txt").unlink(missing_ok=True)
    before = len((INSTALLED / "launcher.log").read_bytes().splitlines())
    process = subprocess.run([str(WINE_RUN), "launcher.exe"], cwd=INSTALLED, timeout=120,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert process.returncode == 0
    lines = (INSTALLED / "launcher.log").read_bytes().decode("latin-1").splitlines()[before:]
    return [line[len("[dd/mm hh:mm:ss] "):] for line in lines]


def test_the_readme_road_from_a_clean_clone_to_a_shipped_release(tmp_path, clean_install):  # noqa: F811
    if not port_is_free(ADDRESS_PORT):
        pytest.skip(f"port {ADDRESS_PORT} is taken on this machine")
    commands = readme_commands()
    assert [c.split()[0] for c in commands] == [
        "scripts/install-deps.sh", "tools/publish_release.py", "QRV_BUILD_DIR=$STUDIO/build", "mkdir",
        "tools/publish_release.py", "tools/local_nginx.py", "grep"]
    install, keygen, build, assemble, publish, serve, check_log = commands
    studio, game = tmp_path / "studio", tmp_path / "game-files"  # keygen makes the studio's folder
    (game / "data").mkdir(parents=True)
    (game / "client.exe").write_bytes(STUB_GAME.read_bytes())
    (game / "data" / "a.pak").write_bytes(pattern(50_000))
    (game / "readme.txt").write_bytes(b"Quorvane\r\n")
    env = dict(os.environ, STUDIO=str(studio), GAME=str(game))

    if os.geteuid() == 0:  # the packages are there already: it touches nothing
        assert "everything is installed" in run_step(install, env).stdout
    made = run_step(keygen, env).stdout
    built = run_step(build, env).stdout
    fingerprint = subprocess.run(["openssl", "pkey", "-pubin", "-in", str(studio / "keys" / "studio.pub.pem"),
                                  "-outform", "DER"], capture_output=True, check=True).stdout
    key_line = f"manifest key {studio}/keys/studio.pub.pem: SHA-256 {hashlib.sha256(fingerprint).hexdigest()}"
    assert key_line in made and key_line in built, "keygen and the build print one fingerprint"
    assert "server address (written by the installer): http://127.0.0.1:8080/quorvane/" in built
    run_step(assemble, env)
    published = run_step(publish, env)
    assert "warning" not in published.stderr
    assert (studio / "published" / "launcher.cfg").read_bytes() == (
        b"# Written by publish_release.py: where installed players find the game.\r\n"
        b"URL_BASE    http://127.0.0.1:8080/quorvane/\r\nEXECUTAVEL  client.exe\r\n")

    server = subprocess.Popen(["bash", "-c", "exec " + serve], cwd=SOURCE_DIR, env=env, stdout=subprocess.PIPE,
                              text=True)
    try:
        banner = server.stdout.readline()
        assert "at http://127.0.0.1:8080/quorvane/ " in banner, banner
        state = re.search(r"\(state in (\S+)\)", banner).group(1)
        master = int(open(f"{state}/nginx.pid").read())

        # The player's first run: the folder dialog, then the installed launcher's first update.
        downloads = tmp_path / "downloads"
        downloads.mkdir()
        (downloads / "launcher.exe").write_bytes((studio / "build" / "launcher.exe").read_bytes())
        player = subprocess.Popen([str(WINE_RUN), "launcher.exe"], cwd=downloads, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        try:
            for key in ("Down", "Down", "Return"):  # Desktop, /, Documents: pick Documents
                press_key("Browse for Folder", key)
            assert player.wait(timeout=30) == 0
        finally:
            if player.poll() is None:
                player.kill()
        assert wait_for_line(INSTALLED / "launcher.log", "jogo iniciado: client.exe", timeout=60)
        assert (INSTALLED / "data" / "a.pak").read_bytes() == pattern(50_000)
        assert (INSTALLED / "launcher.cfg").read_bytes() == (studio / "published" / "launcher.cfg").read_bytes()

        # A new release: steps 4 and 5 again with a new version; only the changed file is fetched.
        (game / "data" / "a.pak").write_bytes(pattern(50_000, seed=7))
        run_step(assemble, env)
        run_step(publish.replace("--version 1.0.0", "--version 1.0.1"), env)
        asked_before = len(open(f"{state}/access.log").read().splitlines())
        lines = run_installed()
        assert lines[-2:] == ["Updated to version 1.0.1.", "jogo iniciado: client.exe"], lines
        asked = [line.split("|")[0] for line in open(f"{state}/access.log").read().splitlines()[asked_before:]]
        packed = one_frame(studio / "published", "data\\a.pak")  # it travels compressed, one frame
        assert asked == ["GET /quorvane/manifesto.txt HTTP/1.1", f"GET /quorvane/objetos/{packed} HTTP/1.1"]
        assert (INSTALLED / "data" / "a.pak").read_bytes() == pattern(50_000, seed=7)

        # A manifest changed on the way is refused, and the game still starts.
        manifest = studio / "published" / "manifesto.txt"
        digest = sha256_of(studio / "published" / "readme.txt")
        manifest.write_bytes(manifest.read_bytes().replace(digest.encode(), b"0" * 64))
        lines = run_installed()
        assert "manifesto sem assinatura valida: manifesto.txt" in lines
        assert lines[-1] == "jogo iniciado: client.exe"

        logged = run_step(check_log, env, cwd=INSTALLED).stdout
        assert "manifesto sem assinatura valida: manifesto.txt" in logged and "jogo iniciado: client.exe" in logged
    finally:
        server.send_signal(signal.SIGTERM)  # the tool stops, and nginx with it
        assert server.wait(timeout=20) == 0
    assert not os.path.exists(f"/proc/{master}")
    assert port_is_free(ADDRESS_PORT)
