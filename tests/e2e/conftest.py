"""Harness for the end-to-end tests: runs the real launcher.exe under Wine in a
scratch game folder, and drives its windows as a person would (xdotool)."""
import contextlib
import hashlib
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("QRV_SOURCE_DIR", Path(__file__).resolve().parents[2]))
sys.path.insert(0, str(SOURCE_DIR / "tools"))
from fault_server import FaultServer  # noqa: E402
from latency_proxy import LatencyProxy  # noqa: E402
from local_nginx import access_log, start_nginx, stop_nginx  # noqa: E402
from publish_release import publish  # noqa: E402

BUILD_DIR = Path(os.environ.get("QRV_BUILD_DIR", SOURCE_DIR / "build"))
WINE_RUN = SOURCE_DIR / "cmake" / "wine-run.sh"
LAUNCHER = BUILD_DIR / "launcher.exe"
STUB_GAME = BUILD_DIR / "tests" / "stub_game.exe"
SPAWN_RAW = BUILD_DIR / "tests" / "spawn_raw.exe"
HOLD_FILE = BUILD_DIR / "tests" / "hold_file.exe"
LAUNCHER_NEXT = BUILD_DIR / "tests" / "launcher_next.exe"
LAUNCHER_CODESIGNED = BUILD_DIR / "tests" / "launcher_codesigned.exe"  # signed by the build, throwaway certificate
LAUNCHER_SHORT_TIMEOUTS = BUILD_DIR / "tests" / "launcher_short_timeouts.exe"  # waits 2 s for a stalled body
# Built with the public half of a key pair made for the tests (QRV_MANIFEST_KEYS).
LAUNCHER_SIGNED = BUILD_DIR / "tests" / "launcher_signed.exe"
TEST_SIGNING_KEY = BUILD_DIR / "tests" / "keys" / "test_signing.pem"
STUB_RECORD = "stub_game_record.txt"
TEST_COMPRESSION_LEVEL = 3
WINE_PREFIX = Path(os.environ.get("WINEPREFIX", BUILD_DIR / "wineprefix"))


def windows_path(path):
    """The name Wine gives a Linux path (drive Z: is the root)."""
    return "Z:" + str(path).replace("/", "\\")


@pytest.fixture(scope="session", autouse=True)
def display():
    """Windows need an X display; start a private Xvfb unless one is given."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    number = 90 + os.getpid() % 100
    server = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.environ["DISPLAY"] = f":{number}"
    time.sleep(1)
    yield os.environ["DISPLAY"]
    server.terminate()
    server.wait()
    del os.environ["DISPLAY"]


class GameFolder:
    """A scratch folder holding launcher.exe and the stub game."""

    def __init__(self, root, launcher=LAUNCHER):
        self.root = root
        self.program = "launcher.exe"  # how runs name the launcher: another path may reach the same file
        shutil.copy(launcher, root / "launcher.exe")
        shutil.copy(STUB_GAME, root / "stubgame.exe")

    def path(self, name):
        return self.root / name

    def write(self, name, text):
        target = self.root / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(text.encode("latin-1") if isinstance(text, str) else text)
        return target

    def configure(self, base_url, extra=""):
        """A launcher.cfg that points at the server; the game is client.exe."""
        self.write("launcher.cfg", f"URL_BASE {base_url}\r\n{extra}")

    def read(self, name):
        return (self.root / name).read_bytes()

    def log(self):
        log = self.root / "launcher.log"
        return log.read_bytes().decode("latin-1") if log.exists() else ""

    def log_messages(self):
        """The log's messages without their time prefix."""
        return [line[len("[dd/mm hh:mm:ss] "):] for line in self.log().split("\r\n") if line]

    def start(self, *arguments, env=None):
        return subprocess.Popen([str(WINE_RUN), self.program, *arguments], cwd=self.root,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)

    def run(self, *arguments, timeout=60, env=None):
        process = self.start(*arguments, env=env)
        try:
            return process.wait(timeout=timeout)
        finally:
            if process.poll() is None:
                process.kill()

    def run_through_message_box(self, title, timeout=30):
        """Runs the launcher and dismisses the message box it shows, as a player would."""
        process = self.start()
        try:
            dismiss_message_box(title)
            return process.wait(timeout=timeout)
        finally:
            if process.poll() is None:
                process.kill()

    def run_raw(self, argument_string, timeout=60):
        """Starts the launcher with an exact argument string, blanks included."""
        env = dict(os.environ, QRV_RAW_COMMAND_LINE=f"launcher.exe{argument_string}")
        return subprocess.run([str(WINE_RUN), str(SPAWN_RAW)], cwd=self.root, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout).returncode

    def game_record(self, wait=10.0):
        """What the stub game recorded, waiting for it to appear; None if it never started."""
        record = self.root / STUB_RECORD
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            if record.exists() and record.read_text().endswith("\n"):
                lines = record.read_text().splitlines()
                return dict(line.split("=", 1) for line in lines)
            time.sleep(0.1)
        return None


SERIAL_FLOOR_KEY = "HKCU\\Software\\Quorvane\\launcher.serie"


def forget_serial_floors():
    """The registry copies of every game folder's floor. A value is named after its
    folder's file index, which a scratch folder may share with a deleted one."""
    subprocess.run([str(WINE_RUN), "reg", "delete", SERIAL_FLOOR_KEY, "/f"], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


@contextlib.contextmanager
def drive_letter(letter, folder):
    """The folder reached as a drive of its own (Wine's drive letters are links in
    dosdevices), as a player's folder is through a changed drive letter, a mapped
    drive or a junction. Yields the drive, "Q:"."""
    link = WINE_PREFIX / "dosdevices" / f"{letter.lower()}:"
    link.unlink(missing_ok=True)
    link.symlink_to(folder)
    try:
        yield f"{letter.upper()}:"
    finally:
        link.unlink()


@pytest.fixture
def game(tmp_path):
    root = tmp_path / "game"
    root.mkdir()
    return GameFolder(root)


class Release:
    """A release folder that the test fills, published into the served folder."""

    def __init__(self, root, served):
        self.root = root
        self.served = served

    def add(self, relative, data):
        path = self.root.joinpath(*relative.split("\\"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return data

    def publish(self, version="1.0.42", objects=False, **options):
        """By path unless objects is set: most tests put their faults on path URLs. Without
        launcher.cfg: each test writes its game folder's own."""
        # Compressed forms at a quick level: the level changes the frames' bytes, not the road they take.
        options["compression"] = {"level": TEST_COMPRESSION_LEVEL, **(options.get("compression") or {})}
        publish(self.root, self.served, version, objects=objects, no_config=True, **options)

    def object_path(self, data):
        """Where the published object of these bytes lies."""
        return self.served / "objetos" / hashlib.sha256(data).hexdigest()

    def serve_stale(self, relative, data):
        """A cache's stale copy under a path URL: a new file, never a write into the path copy
        (which may be a hard link to an object)."""
        target = self.served.joinpath(*relative.split("\\"))
        target.unlink()
        target.write_bytes(data)


class SmallDisk:
    """A volume of its own, a few megabytes of tmpfs, that the test can fill and
    grow: writes into it fail once it is full, as on a full disk."""

    def __init__(self, root, megabytes):
        self.root = root
        root.mkdir()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={megabytes}m", "tmpfs", str(root)],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            pytest.skip("the disk-full tests mount a small tmpfs, which needs root and a kernel that allows it: "
                        + mounted.stderr.strip())

    def free(self):
        stats = os.statvfs(self.root)
        return stats.f_bavail * stats.f_frsize

    def resize(self, megabytes):
        subprocess.run(["mount", "-o", f"remount,size={megabytes}m", str(self.root)], check=True)

    def unmount(self):
        subprocess.run(["umount", "-l", str(self.root)], check=True)


@pytest.fixture
def small_disk(tmp_path):
    disk = SmallDisk(tmp_path / "disk", 2)
    yield disk
    disk.unmount()


@pytest.fixture
def release(tmp_path):
    return Release(tmp_path / "release", tmp_path / "served")


class Nginx:
    """nginx serving a folder; rate, rate_after and sendfile as start_nginx takes them (a drip, a stall)."""

    def __init__(self, served, prefix, rate=0, rate_after=0, sendfile=True):
        served.mkdir(parents=True, exist_ok=True)
        self.prefix = prefix
        self.process, port = start_nginx(served, prefix, rate=rate, rate_after=rate_after, sendfile=sendfile)
        self.base_url = f"http://127.0.0.1:{port}/"

    def requests(self):
        return access_log(self.prefix)

    def stop(self):
        stop_nginx(self.process)


@pytest.fixture
def nginx(tmp_path):
    server = Nginx(tmp_path / "served", tmp_path / "nginx")
    yield server
    server.stop()


@pytest.fixture
def fault_server(tmp_path):
    (tmp_path / "served").mkdir(exist_ok=True)
    server = FaultServer(tmp_path / "served").start()
    yield server
    server.stop()


@pytest.fixture
def far_away():
    """far_away(server) puts the server behind a fixed round trip (50 ms unless
    given) and answers the base URL to give the launcher."""
    proxies = []

    def behind(server, rtt=0.05):
        port = int(server.base_url.rstrip("/").rsplit(":", 1)[1])
        proxies.append(LatencyProxy(port, rtt).start())
        return proxies[-1].base_url

    yield behind
    for proxy in proxies:
        proxy.stop()


def pattern(size, seed=1):
    """Deterministic bytes that differ by seed."""
    return bytes((i * 7 + (i >> 8) * 13 + seed) & 0xFF for i in range(size))


def find_window(title, timeout=20.0):
    """The X window id of the first window whose title is exactly title."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xdotool", "search", "--name", f"^{title}$"], capture_output=True, text=True)
        ids = found.stdout.split()
        if ids:
            return ids[0]
        time.sleep(0.2)
    raise AssertionError(f"no window titled {title!r} within {timeout} s")


def press_key(title, key, timeout=20.0):
    """Presses a key on the window titled title. Wine may replace a window's X
    window right after it appears (a layered window gets a visual with alpha),
    so a key that meets a vanished window is sent again to the new one."""
    deadline = time.monotonic() + timeout
    while True:
        window_id = find_window(title, max(0.1, deadline - time.monotonic()))
        time.sleep(0.5)
        if find_window(title, max(0.1, deadline - time.monotonic())) != window_id:
            continue
        sent = subprocess.run(["xdotool", "key", "--window", window_id, key], capture_output=True)
        if sent.returncode == 0:
            return
        if time.monotonic() > deadline:
            raise AssertionError(f"could not press {key} on {title!r}: {sent.stderr!r}")
        time.sleep(0.3)


def dismiss_message_box(title, key="Return", timeout=20.0):
    """Waits for a message box and dismisses it as a player would."""
    press_key(title, key, timeout)
