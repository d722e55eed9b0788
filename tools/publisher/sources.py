"""The record of the last publication into the same folder: a file with the size and time stamp recorded
there takes its digest from it (unless told to verify), so a publication that changes nothing reads nothing
it already knows. The record, "publicados/fontes.json", maps each path to its source, size, time stamp
(ns), digest, and its path copy's time stamp."""
import json
import os

from .store import write_atomically

SOURCES_RECORD = "publicados/fontes.json"


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
