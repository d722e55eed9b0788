#!/usr/bin/python3
"""The patch benchmark: a pack of assets of at least 1 GB and its next
release (bench/make_pack.py, seeded), served by nginx at 100 Mbit/s. In one
run: the launcher patching the old pack into the new one, the same launcher
fetching the new one whole, and rsync (--no-whole-file, literal data), zsync
(its control file) and casync (its index and store) on the same pair; for
each, the bytes on the wire (counted at the server) and the wall time. Then
the launcher's fetched bytes against the new content, its scan of the old
pack against ComputeFileDigest, and its peak working set.

The time ratio is the median of five alternating runs of the patch and of
the whole-file update, printed with its spread. QRV_PATCH_BENCH_MB sets the
pack's size (default 1024). Run through scripts/bench.sh; the data lands in
build/bench-data/patch-<size>."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "bench"))
from local_nginx import access_log, free_port, start_nginx, stop_nginx  # noqa: E402
from make_pack import make  # noqa: E402
from publish_release import publish  # noqa: E402

WINE_RUN = ROOT / "cmake" / "wine-run.sh"
BENCH = ROOT / "build" / "bench" / "update_bench.exe"
SIZE_MB = int(os.environ.get("QRV_PATCH_BENCH_MB", "1024"))
DATA = ROOT / "build" / "bench-data" / f"patch-{SIZE_MB}"
RATE = 12_500_000  # bytes a second: 100 Mbit/s
MB = 1 << 20
PAIRS = 5  # alternating runs of the patch and the whole-file update


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def prepare():
    """The two packs, the release served with objects and chunk indexes, and the peers' files."""
    old, new = DATA / "old.pak", DATA / "new.pak"
    content = DATA / "new-content.txt"
    if not content.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        content.write_text(str(make(old, new, SIZE_MB, seed=7)))
    served = DATA / "served"
    if not (served / "manifesto.txt").exists():
        release = DATA / "release"
        (release / "data").mkdir(parents=True, exist_ok=True)
        if not (release / "data" / "pack.pak").exists():
            os.link(new, release / "data" / "pack.pak")
        publish(release, served, "bench", no_config=True)
        shutil.copy(new, served / "new.pak")
        subprocess.run(["zsyncmake", "-o", str(served / "new.pak.zsync"), "-u", "new.pak", str(served / "new.pak")],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["casync", "make", f"--store={served / 'store'}", str(served / "new.caibx"), str(new)],
                       check=True, stdout=subprocess.DEVNULL)
    return old, new, served, int(content.read_text())


class Counted:
    """nginx serving from a new state folder, at rate bytes a second a request (0: as fast as it goes);
    the body bytes it sent since the last look."""

    def __init__(self, served, state, rate=RATE):
        self.state = state
        shutil.rmtree(self.state, ignore_errors=True)
        self.process, self.port = start_nginx(served, self.state, rate=rate)
        self.url = f"http://127.0.0.1:{self.port}/"
        self.seen = 0

    def sent(self):
        """The body bytes sent since the last look; self.asked, the requests they answered."""
        lines = access_log(self.state)
        sent = sum(int(line["bytes"]) for line in lines[self.seen:])
        self.asked = len(lines) - self.seen
        self.seen = len(lines)
        return sent


def timed(command, cwd=None):
    start = time.monotonic()
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"{command[0]} failed: {result.stdout[-2000:]}{result.stderr[-2000:]}")
    return time.monotonic() - start, result.stdout


def launcher_update(server, old=None):
    """One update run of update_bench in a folder holding the old pack (or nothing)."""
    folder = Path(tempfile.mkdtemp(dir=DATA))
    try:
        if old:
            (folder / "data").mkdir()
            os.link(old, folder / "data" / "pack.pak")  # the patch replaces it by renaming, never in place
        server.sent()
        seconds, printed = timed([str(WINE_RUN), str(BENCH), "update", f"http://127.0.0.1:{server.port}/"], cwd=folder)
        if "result 1" not in printed:
            raise SystemExit(f"update_bench update: {printed}")
        memory = re.search(r"peak working set: ([\d.]+) MB", printed).group(1)
        return server.sent(), seconds, float(memory)
    finally:
        shutil.rmtree(folder)


def rsync(served, old):
    """An rsync daemon on loopback and a client holding the old pack, limited to 100 Mbit/s."""
    folder = Path(tempfile.mkdtemp(dir=DATA))
    port = free_port()
    config = folder / "rsyncd.conf"
    config.write_text(f"use chroot = no\n[bench]\npath = {served}\nread only = yes\n")
    daemon = subprocess.Popen(["rsync", "--daemon", "--no-detach", f"--config={config}", f"--port={port}",
                               "--address=127.0.0.1"])
    try:
        time.sleep(0.5)
        os.link(old, folder / "new.pak")
        seconds, printed = timed(["rsync", "--no-whole-file", "--stats", f"--bwlimit={RATE // 1024}",
                                  f"rsync://127.0.0.1:{port}/bench/new.pak", str(folder / "new.pak")])
        received = int(re.search(r"Total bytes received: ([\d,]+)", printed).group(1).replace(",", ""))
        return received, seconds
    finally:
        daemon.terminate()
        daemon.wait()
        shutil.rmtree(folder)


def zsync(server, old):
    folder = Path(tempfile.mkdtemp(dir=DATA))
    try:
        server.sent()
        seconds, _ = timed(["zsync", "-q", "-i", str(old), "-o", str(folder / "new.pak"),
                            f"http://127.0.0.1:{server.port}/new.pak.zsync"], cwd=folder)
        return server.sent(), seconds
    finally:
        shutil.rmtree(folder)


def casync(server, old):
    folder = Path(tempfile.mkdtemp(dir=DATA))
    try:
        server.sent()
        url = f"http://127.0.0.1:{server.port}"
        seconds, _ = timed(["casync", "extract", f"--seed={old}", f"--store={url}/store", f"{url}/new.caibx",
                            str(folder / "new.pak")])
        return server.sent(), seconds
    finally:
        shutil.rmtree(folder)


def main():
    old, new, served, new_content = prepare()
    size = new.stat().st_size
    index = next(int(line.split()[2]) for line in (served / "manifesto.txt").read_text().splitlines()
                 if line.startswith("BLOCOS"))
    print(f"patch of a {size / MB:.0f} MB pack ({new_content / MB:.1f} MB of new content, chunk index "
          f"{index / 1024:.0f} KB), served at 100 Mbit/s:")
    server = Counted(served, DATA / "nginx")
    try:
        patches, wholes = [], []
        for _ in range(PAIRS):
            patches.append(launcher_update(server, old))
            wholes.append(launcher_update(server))
        ratios = sorted(p[1] / w[1] for p, w in zip(patches, wholes))
        patched, patch_seconds, patch_memory = sorted(patches, key=lambda run: run[1])[PAIRS // 2]
        whole, whole_seconds, whole_memory = sorted(wholes, key=lambda run: run[1])[PAIRS // 2]
        rows = [("launcher, patching", patched, patch_seconds),
                ("launcher, whole file", whole, whole_seconds),
                ("rsync --no-whole-file", *rsync(served, old)),
                ("zsync", *zsync(server, old)),
                ("casync", *casync(server, old))]
    finally:
        stop_nginx(server.process)
    print(f"  {'':24}{'on the wire':>14}{'/ new content':>15}{'wall time':>11}  (launcher: medians of {PAIRS} runs)")
    for name, sent, seconds in rows:
        print(f"  {name:24}{sent / MB:11.1f} MB{sent / new_content:15.3f}{seconds:10.1f} s")
    print(f"  patch against the whole-file update: {ratios[PAIRS // 2]:.2f} of its time "
          f"(median of {PAIRS} alternating pairs, spread {ratios[0]:.2f} to {ratios[-1]:.2f})")
    print(f"  peak working set: {patch_memory:.1f} MB patching, {whole_memory:.1f} MB whole")
    print("  " + subprocess.run([str(WINE_RUN), str(BENCH), "scan", windows_path(old)], capture_output=True,
                                text=True).stdout.strip().replace("\n", "\n  "))


if __name__ == "__main__":
    main()
