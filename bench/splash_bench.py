#!/usr/bin/python3
"""What the splash costs while the launcher works, measured on the real
launcher.exe under Wine and Xvfb:

- the launcher's own CPU (user and kernel time, from /proc) over 10 s of
  test mode, with this display's X server's and this prefix's wineserver's
  beside it;
- how soon the window answers: from an Escape sent to it, and from a click
  on its close square (python3-xlib sends both), to the launcher destroying
  its window, as Wine's trace stamps it; five launcher runs each;
- the check of the update benchmark's release of 2 000 files (1 GB, up to
  date, in the page cache) with the window up, from "Checking game files..."
  to "The game is up to date.", beside update_bench's RunUpdate on the same
  folder without a window;
- the first install of the install benchmark's 2 000 files of 16 KB into an
  empty folder (CONEXOES 6, nginx on 127.0.0.1) with the window up, from
  "Checking for updates..." to "Updated to version ...", beside update_bench
  fetch doing the same without a window.
The speed ratios (alone / with the window) are medians of five alternating
runs, with their spread. The log's lines are timestamped as they appear (it
has a resolution of one second itself).

Run through scripts/bench.sh after bench/update_bench.py and
bench/install_bench.py, which make the releases in build/bench-data."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "bench"))
from local_nginx import start_nginx, stop_nginx  # noqa: E402
from install_bench import CONNECTIONS  # noqa: E402
from update_bench import DATA, RUNS, make_release, median, print_ratio, serve, served_current_game  # noqa: E402
from Xlib import X, XK, display, protocol  # noqa: E402
from Xlib.ext import xtest  # noqa: E402

WINE_RUN = ROOT / "cmake" / "wine-run.sh"
LAUNCHER = ROOT / "build" / "launcher.exe"
BENCH = ROOT / "build" / "bench" / "update_bench.exe"
CHECKING, CHECKED = "Checking game files...", "The game is up to date."
ASKING, UPDATED = "Checking for updates...", "Updated to version bench."
ANSWER_RUNS = 5
CLOSE_SQUARE_MIDDLE = (1073, 496)  # client coordinates
TEST_MODE_SECONDS = 10.0
TICKS = os.sysconf("SC_CLK_TCK")


def watch_log(log, process, lines):
    """Timestamps each line of the log as it appears, until the process ends; answers {line: seconds}."""
    seen = {}
    offset = 0
    start = time.monotonic()
    while True:
        ended = process.poll() is not None
        if log.exists():
            with open(log, "rb") as file:
                file.seek(offset)
                data = file.read()
            for raw in data.split(b"\n")[:-1]:
                text = raw.decode("latin-1").rstrip("\r")[len("[dd/mm hh:mm:ss] "):]
                if text in lines and text not in seen:
                    seen[text] = time.monotonic() - start
            offset += data.rfind(b"\n") + 1 if b"\n" in data else 0
        if ended:
            return seen
        time.sleep(0.002)


def log_interval(command, game, first, last):
    """Seconds from the log line first to the log line last in one run."""
    log = game / "launcher.log"
    log.unlink(missing_ok=True)
    (game / "stub_game_record.txt").unlink(missing_ok=True)
    process = subprocess.Popen(command, cwd=game, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen = watch_log(log, process, {first, last})
    if first not in seen or last not in seen:
        raise SystemExit(f"{command[-1]}: the run did not reach its end: {log.read_text(errors='replace')[-500:]}")
    return seen[last] - seen[first]


def print_speeds(what, splash, engine):
    print(f"{what} with the splash up:")
    print(f"  launcher.exe with its window: {median(splash):6.2f} s (median)")
    print(f"  the engine alone (update_bench): {median(engine):6.2f} s (median)")
    print_ratio("speed with the window / alone (target at least 0.9)", [e / s for s, e in zip(splash, engine)])


def check_bench():
    server, port, game = served_current_game()
    try:
        shutil.copy(LAUNCHER, game / "launcher.exe")
        (game / "launcher.cfg").write_text(f"URL_BASE http://127.0.0.1:{port}/\nEXECUTAVEL none.exe\n")
        engine_command = [str(WINE_RUN), str(BENCH), "check", f"http://127.0.0.1:{port}/"]
        splash, engine = [], []
        log_interval(engine_command, game, CHECKING, CHECKED)  # the page cache
        for _ in range(RUNS):
            splash.append(log_interval([str(WINE_RUN), "launcher.exe"], game, CHECKING, CHECKED))
            engine.append(log_interval(engine_command, game, CHECKING, CHECKED))
        print_speeds("check of 2 000 current files (1 GB)", splash, engine)
    finally:
        shutil.rmtree(game)
        stop_nginx(server)


def emptied(game):
    """Leaves only the launcher and its configuration in the game folder."""
    for old in game.iterdir():
        if old.name not in ("launcher.exe", "launcher.cfg"):
            shutil.rmtree(old) if old.is_dir() else old.unlink()
    return game


def install_bench():
    release = DATA / "release-16k"
    make_release(release, 2000, 16 * 1024, 16 * 1024, seed=3)
    server, port = serve(release, "16k")
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        url = f"http://127.0.0.1:{port}/"
        shutil.copy(LAUNCHER, game / "launcher.exe")
        (game / "launcher.cfg").write_text(f"URL_BASE {url}\nEXECUTAVEL none.exe\nCONEXOES {CONNECTIONS}\n")
        engine_command = [str(WINE_RUN), str(BENCH), "fetch", url, str(CONNECTIONS)]
        splash, engine = [], []
        for _ in range(RUNS):
            splash.append(log_interval([str(WINE_RUN), "launcher.exe"], emptied(game), ASKING, UPDATED))
            engine.append(log_interval(engine_command, emptied(game), ASKING, UPDATED))
        print_speeds(f"first install of 2 000 files of 16 KB, CONEXOES {CONNECTIONS}", splash, engine)
    finally:
        shutil.rmtree(game)
        stop_nginx(server)


def cpu_seconds(pid):
    """User and kernel time of a Linux process, in seconds."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def own_pids(pattern):
    """This session's processes whose command line holds pattern: other sessions
    on the machine run launchers, X servers and wineservers of their own."""
    found = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()
    prefix = f"WINEPREFIX={os.environ['WINEPREFIX']}".encode()
    own = []
    for pid in found:
        try:
            environment = Path(f"/proc/{pid}/environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if prefix in environment:
            own.append(int(pid))
    return own


def x_server_pids():
    number = os.environ["DISPLAY"].lstrip(":")
    return [int(pid) for pid in subprocess.run(["pgrep", "-f", f"^Xvfb :{number} "], capture_output=True,
                                               text=True).stdout.split()]


def start_test_mode(game, stderr=subprocess.DEVNULL, environment=None):
    """launcher.exe -teste in game, past its first frames; answers the process and its window's X id."""
    process = subprocess.Popen([str(WINE_RUN), "launcher.exe", "-teste"], cwd=game, stdout=subprocess.DEVNULL,
                               stderr=stderr, env=environment)
    while subprocess.run(["xdotool", "search", "--name", "^Quorvane$"], capture_output=True).returncode:
        time.sleep(0.01)
    time.sleep(1.0)  # past the first frames, and Wine's first window of that name
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Quorvane$"], capture_output=True,
                           text=True)
    return process, int(found.stdout.split()[-1])


def close_test_mode(process):
    subprocess.run(["xdotool", "search", "--name", "^Quorvane$", "key", "Escape"], capture_output=True)
    process.wait(timeout=30)


def test_mode_bench():
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        shutil.copy(LAUNCHER, game / "launcher.exe")
        process, _ = start_test_mode(game)
        launcher = own_pids("launcher.exe -teste")  # the wrapper execs into the Wine process
        others = {"Xvfb": x_server_pids(), "wineserver": own_pids("wineserver")}
        before = {pid: cpu_seconds(pid) for pid in launcher + sum(others.values(), [])}
        time.sleep(TEST_MODE_SECONDS)
        after = {pid: cpu_seconds(pid) for pid in before}
        close_test_mode(process)
        used = sum(after[pid] - before[pid] for pid in launcher)
        print(f"test mode, {TEST_MODE_SECONDS:.0f} s with the window up:")
        print(f"  launcher.exe: {100 * used / TEST_MODE_SECONDS:5.1f} % of one core (user and kernel time;"
              " target 20 % at most)")
        for name, pids in others.items():
            spent = sum(after[pid] - before[pid] for pid in pids)
            print(f"  {name + ':':13} {100 * spent / TEST_MODE_SECONDS:5.1f} % (for context)")
    finally:
        shutil.rmtree(game)


def send_escape(screen, window):
    code = screen.keysym_to_keycode(XK.string_to_keysym("Escape"))
    for kind in (protocol.event.KeyPress, protocol.event.KeyRelease):
        event = kind(time=X.CurrentTime, root=screen.screen().root, window=window, same_screen=1, child=X.NONE,
                     root_x=0, root_y=0, event_x=0, event_y=0, state=0, detail=code)
        window.send_event(event, event_mask=X.KeyPressMask | X.KeyReleaseMask, propagate=True)


def click_close_square(screen, window):
    root = screen.screen().root
    place = root.translate_coords(window, *CLOSE_SQUARE_MIDDLE)
    xtest.fake_input(screen, X.MotionNotify, root=root, x=place.x, y=place.y)
    xtest.fake_input(screen, X.ButtonPress, 1)
    xtest.fake_input(screen, X.ButtonRelease, 1)


def answer_seconds(game, act):
    """From act on the test-mode window to the launcher destroying it, in seconds.
    Wine's trace stamps that call with its tick count, CLOCK_MONOTONIC_RAW in
    milliseconds. The window leaves the screen 2 s later here: without a window
    manager, Wine waits that long for one to withdraw it."""
    trace = game / "trace.txt"
    environment = dict(os.environ, WINEDEBUG="+timestamp,+win")
    with open(trace, "w") as sink:
        process, window_id = start_test_mode(game, stderr=sink, environment=environment)
        screen = display.Display()
        try:
            act(screen, screen.create_resource_object("window", window_id))
            screen.sync()
            sent = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
        finally:
            screen.close()
        process.wait(timeout=30)
    for line in trace.read_text(errors="replace").splitlines():
        if ":trace:win:NtUserDestroyWindow " in line:
            return float(line.split(":", 1)[0]) - sent
    raise SystemExit("the launcher did not destroy its window")


def answer_bench():
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        shutil.copy(LAUNCHER, game / "launcher.exe")
        print(f"the window's answer in test mode, {ANSWER_RUNS} runs (target 20 ms at most):")
        for what, act in (("Escape", send_escape), ("a click on the close square", click_close_square)):
            times = sorted(answer_seconds(game, act) * 1000 for _ in range(ANSWER_RUNS))
            print(f"  {what + ':':29} median {median(times):5.1f} ms, at most {times[-1]:5.1f} ms")
    finally:
        shutil.rmtree(game)


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    test_mode_bench()
    answer_bench()
    check_bench()
    install_bench()


if __name__ == "__main__":
    main()
