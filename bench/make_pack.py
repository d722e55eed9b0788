#!/usr/bin/python3
"""Makes a game pack and its next release, seeded, for the patch benchmark:
assets of 64 KB to 4 MB (mostly incompressible, a tenth text) behind a table
of their names, offsets and sizes at the front. The next release replaces a
few percent of the assets (their sizes change too), inserts a few in the
middle, removes a couple and so rewrites the table.

    make_pack.py OLD NEW --size-mb 1024 [--seed 7]

Prints the bytes of new content (the replaced and inserted assets and the new
table): what no patch can avoid fetching.
"""
import argparse
import math
import random
import struct

LOW, HIGH = 64 << 10, 4 << 20
TEXT_SHARE = 0.1
ENTRY = struct.Struct("<48sQQ")  # name, offset, size
SYLLABLES = "ka ro ne mi tu sa lo ve qui dra fen gol har bor pow der mus ket em ber".split()


def vocabulary(rng, count=4000):
    return [("".join(rng.choices(SYLLABLES, k=rng.randint(1, 4)))).encode() for _ in range(count)]


def asset(rng, size, words):
    """Random bytes, or text: words of a vocabulary, never a repeated block."""
    if rng.random() < TEXT_SHARE:
        text = b" ".join(rng.choices(words, k=size // 4 + 16))
        return text[:size]
    return rng.randbytes(size)


def sizes(rng, total):
    made = []
    while sum(made) < total:
        made.append(int(math.exp(rng.uniform(math.log(LOW), math.log(HIGH)))))
    return made


def write_pack(path, assets):
    table = struct.pack("<8sI", b"QRVPACK1", len(assets))
    offset = len(table) + ENTRY.size * len(assets)
    for name, data in assets:
        table += ENTRY.pack(name, offset, len(data))
        offset += len(data)
    with open(path, "wb") as pack:
        pack.write(table)
        for _, data in assets:
            pack.write(data)
    return len(table)


def make(old_path, new_path, size_mb, seed):
    rng = random.Random(seed)
    words = vocabulary(rng)
    assets = [(f"asset{i:05d}".encode(), asset(rng, size, words))
              for i, size in enumerate(sizes(rng, size_mb << 20))]
    write_pack(old_path, assets)
    new_content = 0
    for i in rng.sample(range(len(assets)), max(1, len(assets) * 4 // 100)):  # replaced, another size
        size = max(LOW, min(HIGH, int(len(assets[i][1]) * rng.uniform(0.75, 1.25))))
        assets[i] = (assets[i][0], asset(rng, size, words))
        new_content += size
    for i in sorted(rng.sample(range(1, len(assets) - 1), 2), reverse=True):  # removed
        del assets[i]
    for n in range(3):  # inserted in the middle
        data = asset(rng, int(math.exp(rng.uniform(math.log(LOW), math.log(HIGH)))), words)
        assets.insert(rng.randrange(len(assets) // 4, 3 * len(assets) // 4), (f"added{n}".encode(), data))
        new_content += len(data)
    new_content += write_pack(new_path, assets)
    return new_content


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("--size-mb", type=int, default=1024)
    parser.add_argument("--seed", type=int, default=7)
    arguments = parser.parse_args()
    print(make(arguments.old, arguments.new, arguments.size_mb, arguments.seed))


if __name__ == "__main__":
    main()
