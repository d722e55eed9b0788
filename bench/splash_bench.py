#!/usr/bin/python3
"""What the splash costs while the launcher works, measured on the real
launcher.exe under Wine and Xvfb:

- the check of the update benchmark's release of 2 000 files (1 GB, up to
  date, in the page cache) with the window up, from "Checking game files..."
  to "The game is up to date.", beside update_bench's RunUpdate on the same
  folder without a window; the ratio is the median of five alternating runs,
  with its spread. The log's lines are timestamped as they appear (it has a
  resolution of one second itself);
- the launcher's own CPU (user and kernel time, from /proc) over 10 s of
  test mode, with the X server's and wineserver's beside it.

Run through scripts/bench.sh after bench/update_bench.py, which makes the
release in build/bench-data."""
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
from update_bench import DATA, RUNS, median, print_ratio, served_current_game  # noqa: E402

WINE_RUN = ROOT / "cmake" / "wine-run.sh"
LAUNCHER = ROOT / "build" / "launcher.exe"
BENCH = ROOT / "build" / "bench" / "update_bench.exe"
CHECKING, CHECKED = "Checking game files...", "The game is up to date."
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


def check_interval(command, game):
    """Seconds from "Checking game files..." to "The game is up to date." in one run."""
    log = game / "launcher.log"
    log.unlink(missing_ok=True)
    (game / "stub_game_record.txt").unlink(missing_ok=True)
    process = subprocess.Popen(command, cwd=game, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen = watch_log(log, process, {CHECKING, CHECKED})
    if CHECKING not in seen or CHECKED not in seen:
        raise SystemExit(f"{command[-1]}: the check did not run to its end: {log.read_text(errors='replace')[-500:]}")
    return seen[CHECKED] - seen[CHECKING]


def check_bench():
    server, port, game = served_current_game()
    try:
        shutil.copy(LAUNCHER, game / "launcher.exe")
        (game / "launcher.cfg").write_text(f"URL_BASE http://127.0.0.1:{port}/\nEXECUTAVEL none.exe\n")
        splash, engine = [], []
        check_interval([str(WINE_RUN), str(BENCH), "check", f"http://127.0.0.1:{port}/"], game)  # the page cache
        for _ in range(RUNS):
            splash.append(check_interval([str(WINE_RUN), "launcher.exe"], game))
            engine.append(check_interval([str(WINE_RUN), str(BENCH), "check", f"http://127.0.0.1:{port}/"], game))
        print("check of 2 000 current files (1 GB) with the splash up:")
        print(f"  launcher.exe with its window:   {median(splash):6.2f} s (median)")
        print(f"  RunUpdate alone (update_bench): {median(engine):6.2f} s (median)")
        print_ratio("with the window / alone (target 1.10 at most)", [s / e for s, e in zip(splash, engine)])
    finally:
        shutil.rmtree(game)
        stop_nginx(server)


def cpu_seconds(pid):
    """User and kernel time of a Linux process, in seconds."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def pids_of(name):
    found = subprocess.run(["pgrep", "-f", name], capture_output=True, text=True).stdout.split()
    return [int(pid) for pid in found]


def test_mode_bench():
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        shutil.copy(LAUNCHER, game / "launcher.exe")
        process = subprocess.Popen([str(WINE_RUN), "launcher.exe", "-teste"], cwd=game,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while subprocess.run(["xdotool", "search", "--name", "^Quorvane$"], capture_output=True).returncode:
            time.sleep(0.01)
        time.sleep(1.0)  # past the first frames
        launcher = pids_of("launcher.exe -teste")  # the wrapper execs into the Wine process
        others = {"Xvfb": pids_of("Xvfb :"), "wineserver": pids_of("wineserver")}
        before = {pid: cpu_seconds(pid) for pid in launcher + sum(others.values(), [])}
        time.sleep(TEST_MODE_SECONDS)
        after = {pid: cpu_seconds(pid) for pid in before}
        subprocess.run(["xdotool", "search", "--name", "^Quorvane$", "key", "Escape"], capture_output=True)
        process.wait(timeout=30)
        used = sum(after[pid] - before[pid] for pid in launcher)
        print(f"test mode, {TEST_MODE_SECONDS:.0f} s with the window up:")
        print(f"  launcher.exe: {100 * used / TEST_MODE_SECONDS:5.1f} % of one core (user and kernel time;"
              " target 15 % at most)")
        for name, pids in others.items():
            spent = sum(after[pid] - before[pid] for pid in pids)
            print(f"  {name + ':':13} {100 * spent / TEST_MODE_SECONDS:5.1f} % (for context)")
    finally:
        shutil.rmtree(game)


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    test_mode_bench()
    check_bench()


if __name__ == "__main__":
    main()
