#!/usr/bin/env python3
"""The way to the game: the real launcher.exe started in a folder that holds
SuperTuxKart's data up to date (the real-game benchmark's corpus, with the
stub game as client.exe), served by nginx on 127.0.0.1, timed from the start
to the stub game's record, with each log line's time as it appears (the log
is written through line by line). Beside it, in the same run: a minimal
Windows program's start and end under Wine (the stub game alone), the read
floor of the same files (bench/file_floor.cpp), and the bar's easing from a
quarter to full. Runs alternate; figures are medians. Run through
scripts/bench.sh after real_game_bench.py, which fetches the corpus."""
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from real_game_bench import FLOOR, corpus, linked_copy
from update_bench import BUILD, DATA, WINE_RUN, median, print_ratio, serve, timed

from local_nginx import stop_nginx  # noqa: E402 (update_bench puts tools/ on the path)

STUB_GAME = BUILD / "tests" / "stub_game.exe"
RECORD = "stub_game_record.txt"
EASING_FROM_A_QUARTER = 2.3  # seconds: the bar's easing rate of 3.2 a second to within 0.001 of full
RUNS = 3
LONGEST_RUN = 120.0


def release_with_stub_game(data):
    release = DATA / "release-stk-start"
    if not release.is_dir():
        shutil.copytree(data, release, copy_function=os.link)
        shutil.copy(STUB_GAME, release / "client.exe")
        shutil.copy(BUILD / "launcher.exe", release / "launcher.exe")
    return release


def log_lines(game):
    log = game / "launcher.log"
    text = log.read_bytes().decode("latin-1") if log.exists() else ""
    return [line[len("[dd/mm hh:mm:ss] "):] for line in text.split("\r\n") if line]


def timed_start(game):
    """Seconds from the launcher's start to the game's record, and each log line's time."""
    (game / "launcher.log").unlink(missing_ok=True)
    (game / RECORD).unlink(missing_ok=True)
    start = time.monotonic()
    launcher = subprocess.Popen([str(WINE_RUN), "launcher.exe"], cwd=game, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
    timeline, seen = [], 0
    while time.monotonic() - start < LONGEST_RUN and not (game / RECORD).exists():
        lines = log_lines(game)
        timeline += [(time.monotonic() - start, line) for line in lines[seen:]]
        seen = len(lines)
        time.sleep(0.005)
    total = time.monotonic() - start
    timeline += [(total, line) for line in log_lines(game)[seen:]]
    launcher.wait(timeout=LONGEST_RUN)
    return total, timeline


def read_floor(game):
    listing = game.parent / f"{game.name}.list"
    listing.write_text("".join(f"{p.stat().st_size} {p.relative_to(game)}\n" for p in game.rglob("*") if p.is_file()))
    result = subprocess.run([str(WINE_RUN), str(FLOOR), "read", str(listing)], cwd=game, capture_output=True,
                            text=True, check=True)
    listing.unlink()
    return float(result.stdout.split(", ")[1].split()[0])


def main():
    release = release_with_stub_game(corpus())
    server, port = serve(release, "stk-start")
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        linked_copy(release, game)
        (game / "launcher.cfg").write_bytes(f"URL_BASE http://127.0.0.1:{port}/\r\n".encode())
        totals, minimals, floors, timelines = [], [], [], []
        for run in range(RUNS):
            total, timeline = timed_start(game)
            totals.append(total)
            timelines.append(timeline)
            minimals.append(timed([str(WINE_RUN), str(game / "client.exe")]))
            floors.append(read_floor(game))
        middle = sorted(range(RUNS), key=lambda i: totals[i])[RUNS // 2]
        print(f"up-to-date start of {len(list(game.rglob('*')))} entries, from the start to the game's start:")
        for seconds, line in timelines[middle]:
            print(f"  {seconds:6.2f} s  {line[:100]}")
        print(f"  launcher, start to game:    {median(totals):6.2f} s (median)")
        print(f"  minimal program under Wine: {median(minimals):6.2f} s (median)")
        print(f"  read floor under Wine:      {median(floors):6.2f} s (median)")
        print_ratio(f"start to game / ({EASING_FROM_A_QUARTER} s of easing + 1.5 x (minimal program + read floor))"
                    " (goal at most 1)",
                    [t / (EASING_FROM_A_QUARTER + 1.5 * (m + f)) for t, m, f in zip(totals, minimals, floors)])
    finally:
        shutil.rmtree(game)
        stop_nginx(server)


if __name__ == "__main__":
    main()
