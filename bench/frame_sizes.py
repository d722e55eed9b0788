#!/usr/bin/python3
"""Chooses the publisher's frame size on real game data: for each frame size,
the compressed forms' bytes (frames and index) over the raw bytes, each file
as the publisher writes it, against each file compressed whole by zstd at the
same level; and what a patch of a pack built from the corpus fetches: the
frames that hold its new chunks (and the frame index), against the new
content compressed whole and against the raw chunks today's patch fetches.

    frame_sizes.py CORPUS [--every N] [--level L] [--sizes 65536,262144,1048576]

The sample is every Nth file of CORPUS in path order (default 10). The pack
is the sample's files one after another; its next release replaces one file
in 25 with the file that follows it in CORPUS (about 4 % of the pack)."""
import argparse
import hashlib
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from publisher.frames import HEADER, RECORD, chunk_lengths, compressed_frame, frame_lengths  # noqa: E402

REPLACED_EVERY = 25


def framed(path, target, level, pool):
    """(packed bytes of each frame, chunk digests of each frame) of the file cut at target."""
    data = path.read_bytes()
    chunks = chunk_lengths(path)
    frames, digests, at, chunk = frame_lengths(chunks, target), [], 0, 0
    pieces = []
    for length in frames:
        end, held = at + length, set()
        while at < end:
            held.add(hashlib.sha256(data[at:at + chunks[chunk]]).digest())
            at += chunks[chunk]
            chunk += 1
        digests.append(held)
        pieces.append(data[end - length:end])
    return [len(packed) for packed, _ in pool.map(compressed_frame, pieces, [level] * len(pieces))], digests


def compression(files, targets, level, pool):
    raw = sum(path.stat().st_size for path in files)
    whole = sum(len(packed) for packed, _ in pool.map(compressed_frame, [p.read_bytes() for p in files],
                                                        [level] * len(files)))
    print(f"{len(files)} files, {raw} bytes; each file whole at level {level}: {whole / raw:.4f} of raw")
    for target in targets:
        total = 0
        for path in files:
            sizes, _ = framed(path, target, level, pool)
            form = sum(sizes) + HEADER.size + RECORD.size * len(sizes)
            total += form if form < path.stat().st_size else path.stat().st_size
        print(f"frames of {target >> 10} KB: {total / raw:.4f} of raw, {total / whole:.4f} of each file whole")


def write_packs(files, following, old, new):
    """The pack (the files one after another) and its next release, which replaces one file in
    REPLACED_EVERY with the file that follows it in the corpus; answers the files put in."""
    replaced = [following[i] for i in range(0, len(files), REPLACED_EVERY)]
    newer = [following[i] if i % REPLACED_EVERY == 0 else path for i, path in enumerate(files)]
    old.write_bytes(b"".join(path.read_bytes() for path in files))
    new.write_bytes(b"".join(path.read_bytes() for path in newer))
    return replaced


def patch_costs(files, following, targets, level, pool, scratch):
    old, new = Path(scratch) / "old.pak", Path(scratch) / "new.pak"
    replaced = write_packs(files, following, old, new)
    content = sum(path.stat().st_size for path in replaced)
    content_packed = sum(len(p) for p, _ in pool.map(compressed_frame, [p.read_bytes() for p in replaced],
                                                        [level] * len(replaced)))
    old_data, new_data = old.read_bytes(), new.read_bytes()
    held, at = set(), 0
    for length in chunk_lengths(old):
        held.add(hashlib.sha256(old_data[at:at + length]).digest())
        at += length
    missing, at = 0, 0
    for length in chunk_lengths(new):
        missing += 0 if hashlib.sha256(new_data[at:at + length]).digest() in held else length
        at += length
    print(f"pack of {len(new_data)} bytes, new content {content} bytes ({content_packed} compressed whole); "
          f"raw chunks fetched {missing} ({missing / content:.3f} of the new content)")
    for target in targets:
        sizes, digests = framed(new, target, level, pool)
        fetched = sum(size for size, chunks in zip(sizes, digests) if chunks - held)
        fetched += HEADER.size + RECORD.size * len(sizes)
        print(f"frames of {target >> 10} KB: patch fetches {fetched} bytes, {fetched / content_packed:.3f} of the "
              f"new content compressed, {fetched / content:.3f} of it raw")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("corpus", type=Path)
    parser.add_argument("--every", type=int, default=10)
    parser.add_argument("--level", type=int, default=19)
    parser.add_argument("--sizes", default="65536,262144,1048576")
    arguments = parser.parse_args()
    every = sorted(path for path in arguments.corpus.rglob("*") if path.is_file())
    files = every[::arguments.every]
    following = every[1::arguments.every][:len(files)]
    targets = [int(size) for size in arguments.sizes.split(",")]
    with ThreadPoolExecutor(2) as pool, tempfile.TemporaryDirectory() as scratch:
        compression(files, targets, arguments.level, pool)
        patch_costs(files[:len(following)], following, targets, arguments.level, pool, scratch)


if __name__ == "__main__":
    main()
