"""Chunk indexes: each large file's table of pages and the records of its
chunks, cut by a native helper built from the launcher's own chunker, written
as objects; and what a player of the previous release fetches to patch."""
import os
import re
import shutil
import subprocess
import tempfile
import threading
from pathlib import Path

from .figures import size_text
from .manifests import BLOCKS_IN_MANIFEST, OBJECTS_FOLDER, listed_indexes
from .report import advance, detail, say, start_progress
from .store import in_parallel, sha256_of, write_object

MIN_CHUNKED_SIZE = 1 << 20  # smaller files are fetched whole: their index and the scan would not pay
ROOT = Path(__file__).resolve().parents[2]
HELPER_SOURCES = ["tools/chunk_helper.cpp", "patch/chunker.cpp", "patch/chunk_index.cpp", "transfer/sha256.cpp"]
HELPER_HEADERS = ["patch/patch.h", "frames/frames.h", "transfer/transfer.h", "shell/byte_order.h"]
HELPER = ROOT / "build" / "tools" / "qrv_blocos"
RECORDS_DIGEST = slice(84, 116)  # where a chunk index's header names its records object
INDEX_MAGIC = b"QRVBLOCO"


# The publisher's threads cut files at once: one of them compiles the helper, the others wait for it.
helper_made = threading.Lock()


def chunk_helper():
    """The native helper, compiled from the launcher's sources when missing or older than them."""
    with helper_made:
        return made_helper()


def made_helper():
    sources = [ROOT / source for source in HELPER_SOURCES + HELPER_HEADERS]
    if HELPER.exists() and HELPER.stat().st_mtime >= max(source.stat().st_mtime for source in sources):
        return HELPER
    HELPER.parent.mkdir(parents=True, exist_ok=True)
    compiler = shutil.which("g++") or shutil.which("clang++")
    if not compiler:
        raise SystemExit("publish: a C++ compiler (g++ or clang++) is needed to build the chunk helper")
    say(f"compiling the chunk helper into {HELPER} from the launcher's sources (once, and after they change; "
        "a few seconds)")
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


def is_indexed(out, index_digest):
    """The chunk index and the records it names are both served."""
    index = out / OBJECTS_FOLDER / index_digest
    return index.is_file() and (out / OBJECTS_FOLDER / records_of(index)).is_file()


def write_chunk_indexes(files, out, min_chunked_size):
    """Each large file's chunk index and records as objects (reused when the file is unchanged), and
    what a player of the previous release fetches. Answers a record: blocks, path -> (index digest,
    index size); written and there, objects written and found already; cut, files indexed anew;
    patched, path -> bytes a player of the previous release fetches to patch that file."""
    previous = listed_indexes(out, BLOCKS_IN_MANIFEST)
    large = [entry for entry in files if entry[2] >= min_chunked_size]
    found = {"blocks": {}, "written": 0, "there": 0, "cut": 0, "patched": {}}
    progress = start_progress("chunk indexes", len(large), sum(size for _, _, size, _ in large))
    reused = {relative: known for relative, digest, _, _ in large
              if (known := previous.get(relative)) and known[0] == digest and is_indexed(out, known[1])}
    chunk_helper()  # built once, before the workers need it
    anew = [entry for entry in large if entry[0] not in reused]
    # twice the processors: while one helper's objects are flushed to disk, another cuts
    cut = dict(zip([entry[0] for entry in anew],
                   in_parallel(lambda entry: cut_index(entry, out, progress), anew, per_processor=2)))
    for relative, digest, size, source in large:
        known = previous.get(relative)
        if relative in reused:
            advance(progress, size, relative, file_done=True)
            found["blocks"][relative] = known[1:]
            found["there"] += 2  # the index and its records
            continue
        found["cut"] += 1
        found["blocks"][relative], written = cut[relative]
        found["written"] += written
        found["there"] += 2 - written
        fetched = report_patch(relative, size, out, known and is_indexed(out, known[1]) and known[1],
                               found["blocks"][relative])
        if fetched is not None:
            found["patched"][relative] = fetched
    return found


def cut_index(entry, out, progress):
    """Cuts the file's chunk index and records and writes them as objects; answers ((index digest, index
    size), how many of the two were written)."""
    relative, _, size, source = entry
    written = 0
    with tempfile.TemporaryDirectory() as scratch:
        index, records = Path(scratch) / "index", Path(scratch) / "records"
        subprocess.run([str(chunk_helper()), "index", str(source), str(index), str(records)], check=True,
                       stdout=subprocess.DEVNULL)
        for made in (records, index):  # the records first: the index names them
            target = out / OBJECTS_FOLDER / sha256_of(made)
            if not target.is_file():
                write_object(made, target)
                written += 1
        advance(progress, size, relative, file_done=True)
        return (sha256_of(index), index.stat().st_size), written


def report_patch(relative, size, out, old_index, new_index):
    """How many chunks are new against the previous release, and what its players fetch; answers that
    figure, or None without an earlier index."""
    if not old_index:
        detail(f"{relative}: chunk index of {size_text(new_index[1])} (no earlier release to patch from)")
        return None
    objects = out / OBJECTS_FOLDER
    plan = subprocess.run([str(chunk_helper()), "plan", str(objects / old_index),
                           str(objects / records_of(objects / old_index)), str(objects / new_index[0]),
                           str(objects / records_of(objects / new_index[0]))],
                          check=True, capture_output=True, text=True).stdout
    new, total, fetched, records = (int(n) for n in re.match(
        r"(\d+) of (\d+) chunks new in \d+ of \d+ pages, (\d+) bytes to fetch and (\d+) bytes of records",
        plan).groups())
    detail(f"{relative}: {new} of {total} chunks new; a player of the previous release fetches "
           f"{size_text(fetched + records + new_index[1])} (index included) of {size_text(size)}")
    return fetched + records + new_index[1]
