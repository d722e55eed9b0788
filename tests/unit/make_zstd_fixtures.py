#!/usr/bin/env python3
"""Writes tests/unit/zstd_fixtures.h: small Zstandard frames made by Debian's
zstd command from inputs chosen so that each reaches one case of the format,
with the length and SHA-256 of what each decodes to. Run it again only to
change the cases; the frames are committed.

    make_zstd_fixtures.py [OUTPUT]
"""
import hashlib
import random
import subprocess
import sys
from pathlib import Path

WORDS = ("the launcher fetches each frame checks its digest and decodes it into the file while a player "
         "waits for the game to start so every byte saved on the line is time given back").split()


def words(count, seed, vocabulary=WORDS):
    chooser = random.Random(seed)
    return " ".join(chooser.choice(vocabulary) for _ in range(count)).encode()


def noise(count, seed, alphabet=None):
    chooser = random.Random(seed)
    if alphabet is None:
        return bytes(chooser.getrandbits(8) for _ in range(count))
    return bytes(chooser.choice(alphabet) for _ in range(count))


def randomly_marked(data, seed, mark=b"x"):
    chooser = random.Random(seed)
    pieces, at = [], 0
    while at < len(data):
        step = chooser.randrange(20, 80)
        pieces.append(data[at:at + step] + mark)
        at += step
    return b"".join(pieces)


PERIODIC = b"abcdefgh" * 16384  # a block's worth that compresses to a few bytes
# name, input, zstd arguments, what the case reaches
CASES = [
    ("empty", b"", ["-3"], "an empty raw block, content size 0 in one byte (single segment)"),
    ("raw_block", noise(1200, 1), ["-3", "--no-check"], "a raw block: noise does not shrink"),
    ("rle_block", b"z" * 5000, ["-3", "--no-check"], "an RLE block"),
    ("short_text", words(60, 2), ["-19", "--no-check"], "Huffman literals in one stream, FSE-described sequences"),
    ("long_text", words(4000, 3), ["-19", "--no-check"], "Huffman literals in four streams"),
    ("raw_literals", noise(700, 4) * 3 + noise(300, 5), ["-3", "--no-check"],
     "raw literals in a compressed block, matches of offset 700"),
    ("window_edge", b"0123456789" * 300, ["-1", "--no-check"], "a first match reaching the output's first byte"),
    ("rle_literals", PERIODIC + randomly_marked(PERIODIC, 13), ["-19", "--no-check"],
     "a second block whose literals are all one byte (RLE literals)"),
    ("treeless", words(2000, 6), ["-19", "--target-compressed-block-size=1024", "--no-check"],
     "blocks that reuse the previous Huffman tree and sequence tables (treeless literals, repeat mode)"),
    ("small_alphabet", noise(4000, 7, bytes([0, 0, 0, 0, 1, 1, 2, 3])), ["-19", "--no-check"],
     "Huffman weights written directly (too few symbols for FSE)"),
    ("literals_only", noise(2000, 8, bytes(range(48, 112))), ["-1", "--no-check"],
     "a compressed block without sequences"),
    ("small_window", words(1000, 10), ["--zstd=wlog=10", "--no-check"], "a window of 1 KB"),
    ("checksum", words(500, 11), ["-9"], "a content checksum"),
    ("long_mode", PERIODIC[:4096] + noise(2000, 12) + PERIODIC[:2048], ["-19", "--long=27", "--no-check"],
     "long-distance mode"),
]
# Written from a pipe, a frame says no content size.
PIPED = {"long_text", "treeless"}


def compress(data, arguments, piped):
    if piped:
        return subprocess.run(["zstd", "-q", "-c", *arguments], input=data, capture_output=True, check=True).stdout
    scratch = Path("/tmp") / f"zstd_fixture_{random.getrandbits(32):08x}"
    scratch.write_bytes(data)
    try:
        return subprocess.run(["zstd", "-q", "-c", *arguments, str(scratch)], capture_output=True,
                              check=True).stdout
    finally:
        scratch.unlink()


def c_bytes(frame):
    rows = [", ".join(f"0x{b:02x}" for b in frame[i:i + 16]) for i in range(0, len(frame), 16)]
    return "\n".join(f"    {row}," for row in rows) if rows else "    0,"


def main(arguments):
    output = Path(arguments[0]) if arguments else Path(__file__).with_name("zstd_fixtures.h")
    parts = ["// Made by make_zstd_fixtures.py with Debian's zstd: do not edit.", "#pragma once",
             "#include <stddef.h>", "#include <stdint.h>", ""]
    table = []
    for name, data, zstd_arguments, reaches in CASES:
        frame = compress(data, zstd_arguments, name in PIPED)
        parts.append(f"// {reaches} ({' '.join(zstd_arguments)})")
        parts.append(f"static const uint8_t ZSTD_FRAME_{name.upper()}[] = {{\n{c_bytes(frame)}\n}};")
        digest = hashlib.sha256(data).hexdigest()
        table.append(f'    {{"{name}", ZSTD_FRAME_{name.upper()}, {len(frame)}, {len(data)}, "{digest}"}},')
    parts += ["", "struct ZstdFixture {", "    const char* name;", "    const uint8_t* frame;",
              "    size_t frameLength;", "    size_t decodedLength;", "    const char* decodedSha256;", "};", "",
              "static const ZstdFixture ZSTD_FIXTURES[] = {", *table, "};", ""]
    output.write_text("\n".join(parts))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
