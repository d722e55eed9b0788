"""Each file read once, on every processor: its digest, its object written from the same bytes and, for a
large file, its chunk index cut from them too (by the native reader, which lets the other threads run).
Files that the last publication's record knows by size and time stamp are not read, unless their object
or chunk index is missing."""
import hashlib
import os
import tempfile
import time

from .chunks import chunk_reader, index_reuse, read_natively, store_index
from .manifests import OBJECTS_FOLDER
from .report import advance, start_progress
from .sources import recorded_digest
from .store import OBJECT_MODE, TEMPORARY_PREFIX, WRITERS, in_parallel, replace_atomically, size_of

IN_MEMORY = 1 << 20  # smaller files are read whole: their object is written only when it is missing
# A file written less than this before it was read may change again within its time stamp's resolution
# (2 s on FAT) without the stamp showing it: its stamp is not recorded, and the next publication reads it.
RACY_SECONDS = 2


def read_release(files, out, record, chunked_from, write):
    """Reads what needs reading of files ((relative, source) each) and answers a record: files,
    (relative, digest, size, source) each; stamps, each file's time stamp taken before it was read (None
    when too recent to trust); written, the digests of the objects written; cut, path -> ((index digest,
    index size), objects written) of each file whose chunk index was cut. chunked_from: the size from
    which files get a chunk index (None: no objects, no index; 0: every file); write: whether raw objects are written."""
    started = time.time_ns()
    stats = [source.stat() for _, source in files]
    reusable = index_reuse(out) if chunked_from is not None else lambda relative, digest: True
    known = [recorded_digest(record, relative, source, stat) for (relative, source), stat in zip(files, stats)]
    todo = [(relative, source, stat.st_size) for (relative, source), stat, digest in zip(files, stats, known)
            if digest is None or (write and size_of(out / OBJECTS_FOLDER / digest) != stat.st_size)
            or (chunked_from is not None and stat.st_size >= chunked_from and not reusable(relative, digest))]
    if chunked_from is not None:
        (out / OBJECTS_FOLDER).mkdir(parents=True, exist_ok=True)
    if any(size >= min(IN_MEMORY, IN_MEMORY if chunked_from is None else chunked_from) for _, _, size in todo):
        chunk_reader()  # built and loaded once, before the workers need it
    progress = start_progress("hashing", len(todo), sum(size for _, _, size in todo))

    def take(item):
        relative, source, size = item
        chunked = chunked_from is not None and size >= chunked_from
        taken = read_file(source, out / OBJECTS_FOLDER if write else None, size < IN_MEMORY and not chunked,
                          chunked)
        if chunked_from is not None and not chunked and taken[1] >= chunked_from:
            # It grew past the mark as it was read: the size listed is the size read, so it is cut too.
            taken = read_file(source, out / OBJECTS_FOLDER if write else None, False, True)
        advance(progress, taken[1], relative)
        advance(progress, 0, relative, file_done=True)
        if taken[3] and not reusable(relative, taken[0]):
            return taken[:3] + (store_index(out, taken[3]),)
        return taken[:3] + (None,)
    read = dict(zip([relative for relative, _, _ in todo], in_parallel(take, todo, 2, WRITERS)))
    entries = [(relative, *read[relative][:2], source) if relative in read
               else (relative, digest, stat.st_size, source)
               for (relative, source), stat, digest in zip(files, stats, known)]
    return {"files": entries,
            "stamps": [stat.st_mtime_ns if stat.st_mtime_ns < started - RACY_SECONDS * 10**9 else None
                       for stat in stats],
            "written": {taken[0] for taken in read.values() if taken[2]},
            "cut": {relative: taken[3] for relative, taken in read.items() if taken[3]}}


def read_file(source, objects, whole, chunked):
    """Reads source once: (digest, size read, whether its object was written into the folder objects (None:
    no object), (index, records) when chunked or None)."""
    with open(source, "rb", buffering=0) as file:
        if whole:
            return read_whole(file, objects)
        if objects is None:
            digest, size, cut = read_natively(file, -1, chunked)
            return digest, size, False, cut
        return read_into_object(file, objects, chunked)


def read_whole(file, objects):
    """A small file is digested before its object is written: an object already there costs no write."""
    data = file.read()
    digest = hashlib.sha256(data).hexdigest()
    if objects is None or size_of(objects / digest) == len(data):
        return digest, len(data), False, None
    replace_atomically(objects / digest, lambda copy: copy.write(data), OBJECT_MODE)
    return digest, len(data), True, None


def read_into_object(file, objects, chunked):
    """A larger file streams into a temporary object as it is read, renamed under its digest once it is on
    disk, or dropped unwritten to disk when an object of that size is there already."""
    descriptor, temporary = tempfile.mkstemp(dir=objects, prefix=TEMPORARY_PREFIX)
    try:
        digest, size, cut = read_natively(file, descriptor, chunked)
        placed = size_of(objects / digest) != size
        if placed:
            os.fsync(descriptor)
            os.fchmod(descriptor, OBJECT_MODE)
            os.replace(temporary, objects / digest)
        return digest, size, placed, cut
    finally:
        os.close(descriptor)
        if os.path.lexists(temporary):
            os.unlink(temporary)
