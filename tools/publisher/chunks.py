"""Chunk indexes: each large file's table of pages and the records of its
chunks, cut by the launcher's own chunker in the publisher's one read of the
file (a native library) and written as objects; and what a player of the
previous release fetches to patch (a native helper)."""
import ctypes
import hashlib
import os
import re
import shutil
import subprocess
import threading
from pathlib import Path

from .figures import size_text
from .manifests import BLOCKS_IN_MANIFEST, OBJECTS_FOLDER, listed_indexes
from .report import advance, detail, say, start_progress
from .store import OBJECT_MODE, replace_atomically, size_of

MIN_CHUNKED_SIZE = 1 << 20  # smaller files are fetched whole: their index and the scan would not pay
ROOT = Path(__file__).resolve().parents[2]
SHARED_SOURCES = ["patch/chunker.cpp", "patch/chunk_index.cpp", "transfer/sha256.cpp"]
HELPER_SOURCES = ["tools/chunk_helper.cpp", "tools/chunk_reader.cpp"]
HELPER_HEADERS = ["patch/patch.h", "frames/frames.h", "transfer/transfer.h", "shell/byte_order.h"]
HELPER = ROOT / "build" / "tools" / "qrv_blocos"
LIBRARY_NAME = "libqrv_blocos.so"  # beside HELPER: the one read of a large file
RECORDS_DIGEST = slice(84, 116)  # where a chunk index's header names its records object
INDEX_MAGIC = b"QRVBLOCO"


# The publisher's threads cut files at once: one of them compiles the helper, the others wait for it.
helper_made = threading.Lock()


def chunk_helper():
    """The native helper and library, compiled from the launcher's sources when missing or older than them."""
    with helper_made:
        return made_helper()


def made_helper():
    library = HELPER.with_name(LIBRARY_NAME)
    sources = [ROOT / source for source in SHARED_SOURCES + HELPER_SOURCES + HELPER_HEADERS]
    newest = max(source.stat().st_mtime for source in sources)
    if all(made.exists() and made.stat().st_mtime >= newest for made in (HELPER, library)):
        return HELPER
    HELPER.parent.mkdir(parents=True, exist_ok=True)
    compiler = shutil.which("g++") or shutil.which("clang++")
    if not compiler:
        raise SystemExit("publish: a C++ compiler (g++ or clang++) is needed to build the chunk helper")
    say(f"compiling the chunk helper into {HELPER} from the launcher's sources (once, and after they change; "
        "a few seconds)")
    shared = [str(ROOT / source) for source in SHARED_SOURCES]
    for made, options, own in ((HELPER, [], "tools/chunk_helper.cpp"),
                               (library, ["-shared", "-fPIC"], "tools/chunk_reader.cpp")):
        temporary = made.with_name(f"{made.name}.{os.getpid()}")
        subprocess.run([compiler, "-O2", "-std=c++17", *options, f"-I{ROOT}", "-o", str(temporary),
                        str(ROOT / own), *shared], check=True)
        os.replace(temporary, made)
    return HELPER


class Reading(ctypes.Structure):
    """What the native reader answers of one file (QrvReading)."""
    _fields_ = [("size", ctypes.c_uint64), ("digest", ctypes.c_uint8 * 32), ("index", ctypes.c_void_p),
                ("index_length", ctypes.c_size_t), ("records", ctypes.c_void_p), ("records_length", ctypes.c_size_t)]


loaded = {}  # by path


def chunk_reader():
    """The native reader, built when needed and loaded once; its calls let other threads run."""
    path = HELPER.with_name(LIBRARY_NAME)
    if path not in loaded:
        chunk_helper()
        library = ctypes.CDLL(str(path), use_errno=True)
        library.QrvReadOnce.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.POINTER(Reading)]
        library.QrvReadOnce.restype = ctypes.c_int
        library.QrvReleaseReading.argtypes = [ctypes.POINTER(Reading)]
        library.QrvReleaseReading.restype = None
        loaded[path] = library
    return loaded[path]


def read_natively(file, copy, chunked):
    """One read of the open file to its end: copied into the open descriptor copy (-1: none), digested and,
    when chunked, cut. Answers (digest, size read, (index, records) or None)."""
    library = chunk_reader()
    reading = Reading()
    try:
        if not library.QrvReadOnce(file.fileno(), copy, int(chunked), ctypes.byref(reading)):
            error = ctypes.get_errno()
            raise OSError(error, os.strerror(error), file.name)
        cut = (ctypes.string_at(reading.index, reading.index_length),
               ctypes.string_at(reading.records, reading.records_length)) if chunked else None
        return bytes(reading.digest).hex(), reading.size, cut
    finally:
        library.QrvReleaseReading(ctypes.byref(reading))


def store_object(out, data):
    """data as an object named by its digest, written unless there already; answers (digest, written)."""
    digest = hashlib.sha256(data).hexdigest()
    target = out / OBJECTS_FOLDER / digest
    if size_of(target) == len(data):
        return digest, False
    replace_atomically(target, lambda file: file.write(data), OBJECT_MODE)
    return digest, True


def store_index(out, cut):
    """A cut file's records and index as objects, the records first (the index names them); answers
    ((index digest, index size), how many of the two were written)."""
    index, records = cut
    written = store_object(out, records)[1]
    digest, index_written = store_object(out, index)
    return (digest, len(index)), written + index_written


def index_reuse(out):
    """reusable(relative, digest): the release in OUT lists a chunk index of this content for this path,
    and serves it with its records (it is not cut again)."""
    previous = listed_indexes(out, BLOCKS_IN_MANIFEST)

    def reusable(relative, digest):
        known = previous.get(relative)
        return bool(known and known[0] == digest and is_indexed(out, known[1]))
    return reusable


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


def write_chunk_indexes(files, out, min_chunked_size, cut):
    """Each large file's chunk index and records (cut: path -> ((index digest, index size), objects
    written) for the files cut in their read; the others reuse the previous release's), and what a player
    of the previous release fetches. Answers a record: blocks, path -> (index digest, index size); written
    and there, objects written and found already; cut, files indexed anew; patched, path -> bytes a player
    of the previous release fetches to patch that file."""
    previous = listed_indexes(out, BLOCKS_IN_MANIFEST)
    large = [entry for entry in files if entry[2] >= min_chunked_size]
    found = {"blocks": {}, "written": 0, "there": 0, "cut": 0, "patched": {}}
    progress = start_progress("chunk indexes", len(large), sum(size for _, _, size, _ in large))
    for relative, digest, size, source in large:
        advance(progress, size, relative, file_done=True)
        known = previous.get(relative)
        if relative not in cut:
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
