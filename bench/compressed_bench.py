#!/usr/bin/env python3
"""What compressed forms save, on two real games from Debian's archive:
SuperTuxKart's data (supertuxkart-data, mostly PNG and Ogg) and Wesnoth's
(wesnoth-1.16-data, much of it text), fetched and published as
real_game_bench.py does (64 KB frames at level 19), served by nginx on
127.0.0.1 and installed by update_bench fetch (CONEXOES 6) under Wine. For
each corpus, in one run:

- the bytes on the wire of a first install (the body bytes in nginx's access
  log) over the sum of each of the release's files compressed whole by
  zstd -19 (goal at most 1.05);
- a first install at no added latency on the compressed road against the raw
  road of the same release: the same files published with --no-compressed
  (no QUADROS lines, so the launcher asks for the raw objects), alternating,
  medians (goal: no slower);
- a first install at 100 Mbit/s against 1.1 x (the compressed road's bytes /
  the line's rate) + the install's floor at no added latency (the write floor
  under Wine + curl fetching every file 6 in parallel, as real_game_bench.py
  has it). nginx's limit_rate holds each request, so each of the 6
  connections gets a sixth of the line; nginx lets a request send its first
  second's worth at once, so small files pass faster than that line would;
- the update of a pack built from the corpus (frame_sizes.py's pack: every
  4th file one after another; the next release replaces one file in 25 with
  the file that follows it in the corpus): the bytes fetched over the new
  content compressed whole by zstd -19 (goal at most 1.1).

Publications are kept in build/bench-data, named by the corpus, level and
frame size; zstd -19's sizes are kept in build/bench-data/zstd19-sizes.json,
by inode, size and time stamp. Run through scripts/bench.sh, which builds
update_bench.exe and prepares Wine."""
import json
import os
import shutil
import subprocess
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from frame_sizes import write_packs
from real_game_bench import CONNECTIONS, corpus, curl_seconds, floor_seconds, release_of
from update_bench import DATA, empty_folder, figure, median, print_ratio, run_bench, serve

from local_nginx import stop_nginx  # noqa: E402 (update_bench puts tools/ on the path)
from publish_release import publish  # noqa: E402
from patch_bench import Counted

CORPORA = (("stk", "supertuxkart-data", Path("usr/share/games/supertuxkart/data")),
           ("wesnoth", "wesnoth-1.16-data", Path("usr/share/games/wesnoth/1.16")))
LEVEL = 19
FRAME_SIZE = 64 << 10
LINE = 12_500_000  # bytes a second: 100 Mbit/s in all
RUNS = 3
PACK_EVERY = 4
ZSTD_SIZES = DATA / "zstd19-sizes.json"


def zstd_sizes(paths):
    """Each file compressed whole by zstd -19, in bytes; measured once, then read from ZSTD_SIZES."""
    known = json.loads(ZSTD_SIZES.read_text()) if ZSTD_SIZES.exists() else {}

    def key(path):  # hard links of one file share it
        stat = path.stat()
        return f"{stat.st_dev} {stat.st_ino} {stat.st_size} {stat.st_mtime_ns}"

    def measure(path):
        packed = subprocess.run(["zstd", "-q", "-19", "-c", str(path)], stdout=subprocess.PIPE, check=True).stdout
        return len(packed)

    missing = [path for path in paths if key(path) not in known]
    if missing:
        print(f"  zstd -19 of {len(missing)} files (kept in {ZSTD_SIZES.name})...", flush=True)
        with ThreadPoolExecutor(os.cpu_count() or 1) as pool:
            known.update(zip(map(key, missing), pool.map(measure, missing)))
        ZSTD_SIZES.write_text(json.dumps(known))
    return [known[key(path)] for path in paths]


def published(release, name, **compression):
    """The release published into served-NAME (whose name says the compression asked), again at every
    run: a publication that changes nothing reads and writes little, and one made by an earlier
    publisher is brought to this one's forms."""
    served = DATA / f"served-{name}"
    if (served / "manifesto.txt").exists():
        publish(release, served, "bench", no_config=True, compression=compression)
    else:
        stop_nginx(serve(release, name, compression=compression)[0])
    return served


def install_seconds(server, work):
    """A first install into the empty folder: its seconds and the body bytes sent for it."""
    empty_folder(work)
    output = run_bench("fetch", server.url, str(CONNECTIONS), cwd=work, show=False)
    return figure(r"result 1, ([\d.]+) s", output), server.sent()


def wire_and_roads(packed, raw, zstd, work):
    """A first install on the compressed road and on the raw road, alternating; answers the compressed
    road's bytes on the wire."""
    compressed_road = Counted(packed, DATA / "nginx-compressed-road", 0)
    raw_road = Counted(raw, DATA / "nginx-raw-road", 0)
    try:
        seconds, raw_seconds = [], []
        for _ in range(RUNS):
            took, wire = install_seconds(compressed_road, work)
            seconds.append(took)
            took, raw_wire = install_seconds(raw_road, work)
            raw_seconds.append(took)
        requests = compressed_road.asked, raw_road.asked
    finally:
        stop_nginx(compressed_road.process)
        stop_nginx(raw_road.process)
    print(f"  bytes on the wire, first install: compressed road {wire}, raw road {raw_wire}; "
          f"each file whole by zstd -19: {zstd}")
    print(f"  wire / each file whole by zstd -19 (goal at most 1.05): {wire / zstd:.3f}; wire / raw road: "
          f"{wire / raw_wire:.3f}")
    print(f"  first install, no added latency: compressed road {median(seconds):6.1f} s, raw road "
          f"(the same files published with --no-compressed) {median(raw_seconds):6.1f} s (medians); "
          f"{requests[0]} and {requests[1]} requests")
    print_ratio("compressed road / raw road (goal at most 1)", [c / r for c, r in zip(seconds, raw_seconds)])
    return wire


def at_the_line(packed, sizes, wire, work):
    """A first install at 100 Mbit/s against 1.1 x (wire / line) + the floor at no added latency."""
    limited = Counted(packed, DATA / "nginx-line", LINE // CONNECTIONS)
    free = Counted(packed, DATA / "nginx-floor", 0)
    names = sorted(sizes)
    try:
        installs, floors = [], []
        for _ in range(RUNS):
            installs.append(install_seconds(limited, work)[0])
            empty_folder(work)
            floors.append(floor_seconds("write", sizes, work) + curl_seconds(names, free.url, work, CONNECTIONS))
    finally:
        stop_nginx(limited.process)
        stop_nginx(free.process)
    print(f"  first install at 100 Mbit/s (limit_rate {LINE // CONNECTIONS} bytes/s for each of {CONNECTIONS} "
          f"connections): {median(installs):6.1f} s; {wire / LINE:6.1f} s of line, floor (write floor + curl, "
          f"{CONNECTIONS} in parallel) {median(floors):6.1f} s (medians); on average "
          f"{wire * 8 / median(installs) / 1e6:.0f} Mbit/s")
    print_ratio("install / (1.1 x wire / line + floor) (goal at most 1)",
                [i / (1.1 * wire / LINE + f) for i, f in zip(installs, floors)])


def packs(data, name):
    """frame_sizes.py's pack of every PACK_EVERY-th file of the corpus and its next release, made once;
    answers (old pack, the next release's folder, the files its pack puts in)."""
    folder = DATA / f"pack-{name}"
    old, release = folder / "old.pak", folder / "release"
    every = sorted(path for path in data.rglob("*") if path.is_file())
    files, following = every[::PACK_EVERY], every[1::PACK_EVERY]
    replaced_list = folder / "replaced.txt"
    if not replaced_list.exists():
        (release / "data").mkdir(parents=True, exist_ok=True)
        (release / "client.exe").write_bytes(b"MZ")
        replaced = write_packs(files[:len(following)], following, old, release / "data" / "pack.pak")
        replaced_list.write_text("".join(f"{path}\n" for path in replaced))
    return old, release, [Path(line) for line in replaced_list.read_text().splitlines()]


def patch_figure(data, name, work):
    """The update of the pack: bytes fetched (all the update asked) over the new content by zstd -19."""
    old, release, replaced = packs(data, name)
    served = published(release, f"{name}-pack-z{LEVEL}-f{FRAME_SIZE}", level=LEVEL, frame_size=FRAME_SIZE)
    server = Counted(served, DATA / "nginx-pack", 0)
    try:
        empty_folder(work)
        (work / "data").mkdir()
        shutil.copy(old, work / "data" / "pack.pak")
        (work / "client.exe").write_bytes(b"MZ")
        output = run_bench("fetch", server.url, str(CONNECTIONS), cwd=work, show=False)
        figure(r"result 1, ([\d.]+) s", output)
        fetched = server.sent()
    finally:
        stop_nginx(server.process)
    content, packed = sum(path.stat().st_size for path in replaced), sum(zstd_sizes(replaced))
    print(f"  update of a pack of {old.stat().st_size} bytes replacing {len(replaced)} files: fetched {fetched} "
          f"bytes; new content {content} bytes, {packed} by zstd -19")
    print(f"  fetched / new content by zstd -19 (goal at most 1.1): {fetched / packed:.3f}; fetched / new content: "
          f"{fetched / content:.3f}")


def measure(name, package, folder, work):
    data = corpus(package, folder, name)
    release = release_of(data, name)
    paths = sorted(path for path in release.rglob("*") if path.is_file())
    sizes = {str(path.relative_to(release)): path.stat().st_size for path in paths}
    print(f"{package}: {len(paths)} files, {sum(sizes.values())} bytes", flush=True)
    packed = published(release, f"{name}-z{LEVEL}-f{FRAME_SIZE}", level=LEVEL, frame_size=FRAME_SIZE)
    raw = published(release, f"{name}-raw", forms=False)
    wire = wire_and_roads(packed, raw, sum(zstd_sizes(paths)), work)
    at_the_line(packed, sizes, wire, work)
    patch_figure(data, name, work)


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        for name, package, folder in CORPORA:
            measure(name, package, folder, work)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
