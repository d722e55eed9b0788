"""Each file's digest, read on every processor, or taken from the record of the last publication into
the same folder when the file has the size and time stamp recorded there (unless told to verify): a
publication that changes nothing reads nothing it already knows. The record, "publicados/fontes.json",
maps each path to its source, size, time stamp (ns), digest, and its path copy's time stamp."""
import json
import os
import time

from .report import advance, start_progress
from .store import in_parallel, sha256_of, write_atomically

SOURCES_RECORD = "publicados/fontes.json"
# A file written less than this before it was hashed may change again within its time stamp's resolution
# (2 s on FAT) without the stamp showing it: its stamp is not recorded, and the next publication reads it.
RACY_SECONDS = 2


def read_record(out, verify):
    """The last publication's record, or an empty one (none, or told to verify)."""
    record = out / SOURCES_RECORD
    if verify or not record.is_file():
        return {}
    try:
        return json.loads(record.read_text())
    except ValueError:
        return {}  # a damaged record only costs a full read


def recorded_digest(record, relative, source, stat):
    known = record.get(relative)
    if known and known[:3] == [str(source), stat.st_size, stat.st_mtime_ns]:
        return known[3]
    return None


def hashed(files, record):
    """(relative, digest, size, source) of each (relative, source), with progress on a large release;
    files the record knows unchanged are not read. Answers them and each file's time stamp taken before
    it was read (a file written during the publication is read again by the next one)."""
    started = time.time_ns()
    stats = [source.stat() for _, source in files]
    digests = [recorded_digest(record, relative, source, stat) for (relative, source), stat in zip(files, stats)]
    unknown = [(relative, source, stat.st_size) for (relative, source), stat, digest in zip(files, stats, digests)
               if digest is None]
    progress = start_progress("hashing", len(unknown), sum(size for _, _, size in unknown))

    def digest_of(item):
        relative, source, _ = item
        digest = sha256_of(source, lambda piece: advance(progress, piece, relative))
        advance(progress, 0, relative, file_done=True)
        return digest
    read = iter(in_parallel(digest_of, unknown))
    return ([(relative, digest or next(read), stat.st_size, source)
             for (relative, source), stat, digest in zip(files, stats, digests)],
            [stat.st_mtime_ns if stat.st_mtime_ns < started - RACY_SECONDS * 10**9 else None for stat in stats])


def path_copy_unchanged(record):
    """Whether a path copy is as the last publication left it: same digest recorded, same size and time
    stamp; such a copy is not read again."""
    def unchanged(relative, digest, target):
        known = record.get(relative)
        if not known or known[3] != digest:
            return False
        try:
            stat = os.stat(target)
        except OSError:
            return False
        return [stat.st_size, stat.st_mtime_ns] == [known[1], known[4]]
    return unchanged


def write_record(out, files, stamps):
    """The record of this publication's files (stamps: their time stamps as hashed), for the next one."""
    record = {}
    for (relative, digest, size, source), stamp in zip(files, stamps):
        copy = out.joinpath(*relative.split("\\")).stat()
        record[relative] = [str(source), size, stamp, digest, copy.st_mtime_ns]
    (out / SOURCES_RECORD).parent.mkdir(exist_ok=True)
    write_atomically(out / SOURCES_RECORD, json.dumps(record, sort_keys=True).encode("utf-8"))
