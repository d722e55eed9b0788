#!/usr/bin/env python3
"""Benchmark of the launcher's Zstandard decoder against Debian's zstd -d (the
peer) on the same frames in the same run. The data: the real game's corpus
when the real-game benchmark fetched it (build/bench-data/corpus-stk), else
this machine's /usr/lib and /usr/share files, 32 MB of each kind taken in
name order; compressed by zstd -19 once as a whole and once in frames of
256 KB (kept in build/bench-data/zstd between runs). zstd_bench.exe runs
under Wine; the same source built natively runs beside it. Run through
scripts/bench.sh, which builds and prepares Wine."""
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build"
WINE_RUN = ROOT / "cmake" / "wine-run.sh"
DATA = BUILD / "bench-data" / "zstd"
BENCH = BUILD / "bench" / "zstd_bench.exe"
MB = 1 << 20
CORPUS_BYTES = 32 * MB
PIECE_BYTES = 256 << 10
PEER_RUNS = 5


def corpus_files():
    game = BUILD / "bench-data" / "corpus-stk"
    roots = [game] if game.is_dir() else [Path("/usr/lib/x86_64-linux-gnu"), Path("/usr/share")]
    for root in roots:
        taken = 0
        for folder, folders, names in sorted(os.walk(root)):
            folders.sort()
            for name in sorted(names):
                path = Path(folder) / name
                if path.is_symlink() or not path.is_file() or path.stat().st_size > 8 * MB:
                    continue
                yield path
                taken += path.stat().st_size
                if taken >= CORPUS_BYTES:
                    break
            if taken >= CORPUS_BYTES:
                break


def prepare():
    """The original, its whole frame, and its frames of PIECE_BYTES with their index."""
    DATA.mkdir(parents=True, exist_ok=True)
    original, whole = DATA / "original", DATA / "whole.zst"
    pieces, index = DATA / "pieces.zst", DATA / "pieces.idx"
    if index.exists():
        return original, whole, pieces, index
    with open(original, "wb") as out:
        for path in corpus_files():
            out.write(path.read_bytes())
    subprocess.run(["zstd", "-q", "-f", "-19", "-T0", str(original), "-o", str(whole)], check=True)
    data = original.read_bytes()
    with open(pieces, "wb") as frames, open(index.with_suffix(".tmp"), "w") as lines:
        for start in range(0, len(data), PIECE_BYTES):
            piece = data[start:start + PIECE_BYTES]
            frame = subprocess.run(["zstd", "-q", "-19", "-c"], input=piece, capture_output=True,
                                   check=True).stdout
            frames.write(frame)
            lines.write(f"{len(frame)} {len(piece)}\n")
    index.with_suffix(".tmp").rename(index)
    return original, whole, pieces, index


def peer_mb_per_second(frame, size):
    """zstd -d's processor time (user and system), as zstd_bench counts its own."""
    best = None
    for _ in range(PEER_RUNS):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(["zstd", "-q", "-d", "-c", str(frame)], stdout=subprocess.DEVNULL, check=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        seconds = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
        best = seconds if best is None else min(best, seconds)
    return size / MB / best


def native_bench(work, *defines):
    program = Path(work) / ("zstd_bench" + "".join(defines))
    sources = sorted(str(path) for path in (ROOT / "frames").glob("*.cpp"))
    subprocess.run(["c++", "-std=c++17", "-O2", *[f"-D{name}" for name in defines], f"-I{ROOT}",
                    str(ROOT / "bench" / "zstd_bench.cpp"), *sources, "-o", str(program)], check=True)
    return program


def main():
    files = prepare()
    size = files[0].stat().st_size
    print(f"Zstandard frames: {size / MB:.1f} MB from {files[0]}")
    with tempfile.TemporaryDirectory() as work:
        # The 32-bit product's bit reader, on this 64-bit processor: the
        # nearest this machine, which runs no 32-bit program, comes to it.
        runs = (("under Wine", [str(WINE_RUN), str(BENCH)]), ("native", [str(native_bench(work))]),
                ("native, the 32-bit build's bit reader", [str(native_bench(work, "ZSTD_WORD_BITS_32"))]))
        for name, command in runs:
            print(f"zstd_bench {name}:")
            result = subprocess.run([*command, *map(str, files)], capture_output=True, text=True)
            print(result.stdout.rstrip())
            if result.returncode != 0:
                print(result.stderr[-2000:])
                return 1
    print(f"zstd -d, the peer (native, its processor time, writing to /dev/null, checking each frame's checksum), best of {PEER_RUNS}: "
          f"whole frame {peer_mb_per_second(files[1], size):.0f} MB/s, "
          f"frames of the index's size {peer_mb_per_second(files[2], size):.0f} MB/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
