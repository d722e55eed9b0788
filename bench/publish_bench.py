#!/usr/bin/python3
"""The publisher against what the machine allows, measured in one run: a first publication of a
release into an empty folder (without compressed forms, and with them unless --no-frames), a second
publication with nothing changed, and the floor beside them: copying the release's files into a new
folder on the same file system plus hashing every file with hashlib, divided by the processors; with
--against, another publisher (another worktree's tools/publish_release.py) timed alternately in the same
run, for ratios that hold on a shared machine. The load average is printed before and after.

    publish_bench.py [RELEASE] [--runs N] [--no-frames] [--against PUBLISH_RELEASE_PY]

RELEASE defaults to SuperTuxKart's data that real_game_bench.py unpacks (build/bench-data/release-stk).
Goals: the first publication at most 2 x the floor; the second at most 2 s. Scratch folders land in
build/bench-data/publish (removed at the end)."""
import argparse
import hashlib
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SCRATCH = ROOT / "build" / "bench-data" / "publish"
DEFAULT_RELEASE = ROOT / "build" / "bench-data" / "release-stk"  # real_game_bench.py makes it
PUBLISHER = ROOT / "tools" / "publish_release.py"
SERVER = "http://127.0.0.1:8080/"


# Processor time (user + system) of each timed step: on a machine shared with other work, a wall time
# depends on how many threads a step runs against the others' (the floor runs one).
PROCESSOR_TIME = {}


def processor_time():
    """This process's and its finished children's user and system time."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def timed(action, label):
    started, spent = time.perf_counter(), processor_time()
    action()
    PROCESSOR_TIME.setdefault(label, []).append(processor_time() - spent)
    return time.perf_counter() - started


def every_file(release):
    return [Path(folder) / name for folder, _, names in os.walk(release) for name in names]


def hash_every_file(files):
    for path in files:
        digest = hashlib.sha256()
        with open(path, "rb") as file:
            for piece in iter(lambda: file.read(1 << 20), b""):
                digest.update(piece)


def copy_release(release):
    target = SCRATCH / "copy"
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(release, target)


def publish(release, out, *options, publisher=PUBLISHER):
    subprocess.run([str(publisher), str(release), str(out), "--version", "1",
                    "--write-config", SERVER, *options], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def first_and_second(release, options, publisher=PUBLISHER, label="this one"):
    out = SCRATCH / "out"
    shutil.rmtree(out, ignore_errors=True)
    return (timed(lambda: publish(release, out, *options, publisher=publisher), f"{label}, first {options}"),
            timed(lambda: publish(release, out, *options, publisher=publisher), f"{label}, second {options}"))


def load_text():
    return "load average " + ", ".join(f"{load:.2f}" for load in os.getloadavg())


def median_text(values):
    return f"{statistics.median(values):6.1f} s (from {min(values):.1f} to {max(values):.1f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("release", type=Path, nargs="?", default=DEFAULT_RELEASE)
    parser.add_argument("--runs", type=int, default=1, help="alternating runs; medians are printed")
    parser.add_argument("--no-frames", action="store_true", help="skips the publication with compressed forms")
    parser.add_argument("--against", type=Path, metavar="PUBLISH_RELEASE_PY",
                        help="another publisher, timed alternately with this one (--no-compressed)")
    arguments = parser.parse_args()
    files = every_file(arguments.release)
    size = sum(path.stat().st_size for path in files)
    processors = os.cpu_count() or 1
    print(f"release {arguments.release}: {len(files)} files, {size / 1e6:.0f} MB; {processors} processor(s); "
          f"{load_text()}")
    SCRATCH.mkdir(parents=True, exist_ok=True)
    hash_every_file(files)  # the page cache holds the release from here on, for every figure alike
    figures = {"copy": [], "hash": [], "first": [], "second": [], "first with frames": [], "second with frames": [],
               "other first": [], "other second": []}
    for _ in range(arguments.runs):
        figures["copy"].append(timed(lambda: copy_release(arguments.release), "copy"))
        figures["hash"].append(timed(lambda: hash_every_file(files), "hashing"))
        first, second = first_and_second(arguments.release, ["--no-compressed"])
        figures["first"].append(first)
        figures["second"].append(second)
        if arguments.against:
            first, second = first_and_second(arguments.release, ["--no-compressed"], arguments.against, "against")
            figures["other first"].append(first)
            figures["other second"].append(second)
        if not arguments.no_frames:
            first, second = first_and_second(arguments.release, [])
            figures["first with frames"].append(first)
            figures["second with frames"].append(second)
    shutil.rmtree(SCRATCH)
    copy, hashing = statistics.median(figures["copy"]), statistics.median(figures["hash"])
    floor = copy + hashing / processors
    print(f"copy of the release (shutil.copytree)          {median_text(figures['copy'])}")
    print(f"hashlib of every file, one core                {median_text(figures['hash'])}")
    print(f"floor: copy + hashing / {processors}                   {floor:6.1f} s")
    first = statistics.median(figures["first"])
    print(f"first publication, --no-compressed             {median_text(figures['first'])}: "
          f"{first / floor:.2f} x the floor (goal 2)")
    print(f"second publication, nothing changed            {median_text(figures['second'])} (goal 2 s)")
    if figures["other first"]:
        other = statistics.median(figures["other first"])
        print(f"{arguments.against}: first {median_text(figures['other first'])}: {other / floor:.2f} x the "
              f"floor; this one takes {first / other:.2f} of its time")
        print(f"{arguments.against}: second {median_text(figures['other second'])}")
    if figures["first with frames"]:
        with_frames = statistics.median(figures["first with frames"])
        print(f"first publication with compressed forms        {median_text(figures['first with frames'])}: "
              f"{with_frames / floor:.2f} x the floor; the frames cost {with_frames - first:.1f} s")
        print(f"second publication with compressed forms       {median_text(figures['second with frames'])}")
    print("processor time (user + system), medians: " + "; ".join(
        f"{label} {statistics.median(spent):.1f} s" for label, spent in PROCESSOR_TIME.items()))
    print(load_text())
    return 0


if __name__ == "__main__":
    sys.exit(main())
