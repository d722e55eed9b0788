"""Chunk indexes: each large file's table of pages and the records of its
chunks, cut by a native helper built from the launcher's own chunker, written
as objects; and what a player of the previous release fetches to patch."""
import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

from .figures import size_text
from .manifests import BLOCKS_IN_MANIFEST, FILE_IN_MANIFEST, FULL_MANIFEST, OBJECTS_FOLDER
from .store import sha256_of, write_object

MIN_CHUNKED_SIZE = 1 << 20  # smaller files are fetched whole: their index and the scan would not pay
ROOT = Path(__file__).resolve().parents[2]
HELPER_SOURCES = ["tools/chunk_helper.cpp", "patch/chunker.cpp", "patch/chunk_index.cpp", "transfer/sha256.cpp"]
HELPER_HEADERS = ["patch/patch.h", "transfer/transfer.h"]
HELPER = ROOT / "build" / "tools" / "qrv_blocos"
RECORDS_DIGEST = slice(84, 116)  # where a chunk index's header names its records object
INDEX_MAGIC = b"QRVBLOCO"


def chunk_helper():
    """The native helper, compiled from the launcher's sources when missing or older than them."""
    sources = [ROOT / source for source in HELPER_SOURCES + HELPER_HEADERS]
    if HELPER.exists() and HELPER.stat().st_mtime >= max(source.stat().st_mtime for source in sources):
        return HELPER
    HELPER.parent.mkdir(parents=True, exist_ok=True)
    compiler = shutil.which("g++") or shutil.which("clang++")
    if not compiler:
        raise SystemExit("publish: a C++ compiler (g++ or clang++) is needed to build the chunk helper")
    temporary = HELPER.with_name(f"{HELPER.name}.{os.getpid()}")
    subprocess.run([compiler, "-O2", "-std=c++17", f"-I{ROOT}", "-o", str(temporary),
                    *[str(ROOT / source) for source in HELPER_SOURCES]], check=True)
    os.replace(temporary, HELPER)
    return HELPER


def records_of(index):
    """The name of the records object that a chunk index names."""
    with open(index, "rb") as file:
        return file.read(RECORDS_DIGEST.stop)[RECORDS_DIGEST].hex()


def is_chunk_index(path):
    with open(path, "rb") as file:
        return file.read(len(INDEX_MAGIC)) == INDEX_MAGIC


def previous_blocks(out):
    """What the release in OUT says of its chunked files: path -> (file digest, index digest, index size)."""
    manifest = out / FULL_MANIFEST
    if not manifest.is_file():
        return {}
    data = manifest.read_bytes()
    files = {path.decode(): digest.decode().lower() for digest, path in FILE_IN_MANIFEST.findall(data)}
    return {path.decode(): (files.get(path.decode()), digest.decode(), int(size))
            for digest, size, path in BLOCKS_IN_MANIFEST.findall(data)}


def is_indexed(out, index_digest):
    """The chunk index and the records it names are both served."""
    index = out / OBJECTS_FOLDER / index_digest
    return index.is_file() and (out / OBJECTS_FOLDER / records_of(index)).is_file()


def write_chunk_indexes(files, out, min_chunked_size):
    """Each large file's chunk index and records as objects (reused when the file is unchanged), and
    what a player of the previous release fetches; answers path -> (index digest, index size), and
    how many objects were written and how many were there already."""
    previous = previous_blocks(out)
    blocks = {}
    written = there = 0
    for relative, digest, size, source in files:
        if size < min_chunked_size:
            continue
        known = previous.get(relative)
        if known and known[0] == digest and is_indexed(out, known[1]):
            blocks[relative] = known[1:]
            there += 2  # the index and its records
            continue
        with tempfile.TemporaryDirectory() as scratch:
            index, records = Path(scratch) / "index", Path(scratch) / "records"
            subprocess.run([str(chunk_helper()), "index", str(source), str(index), str(records)], check=True,
                           stdout=subprocess.DEVNULL)
            for made in (records, index):  # the records first: the index names them
                target = out / OBJECTS_FOLDER / sha256_of(made)
                if target.is_file():
                    there += 1
                else:
                    write_object(made, target)
                    written += 1
            blocks[relative] = (sha256_of(index), index.stat().st_size)
        report_patch(relative, size, out, known and is_indexed(out, known[1]) and known[1], blocks[relative])
    return blocks, written, there


def report_patch(relative, size, out, old_index, new_index):
    """How many chunks are new against the previous release, and what its players fetch."""
    if not old_index:
        print(f"{relative}: chunk index of {size_text(new_index[1])} (no earlier release to patch from)")
        return
    objects = out / OBJECTS_FOLDER
    plan = subprocess.run([str(chunk_helper()), "plan", str(objects / old_index),
                           str(objects / records_of(objects / old_index)), str(objects / new_index[0]),
                           str(objects / records_of(objects / new_index[0]))],
                          check=True, capture_output=True, text=True).stdout
    new, total, fetched, records = (int(n) for n in re.match(
        r"(\d+) of (\d+) chunks new in \d+ of \d+ pages, (\d+) bytes to fetch and (\d+) bytes of records",
        plan).groups())
    print(f"{relative}: {new} of {total} chunks new; a player of the previous release fetches "
          f"{size_text(fetched + records + new_index[1])} (index included) of {size_text(size)}")
