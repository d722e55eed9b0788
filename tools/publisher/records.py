"""Publication records: each publication's lists kept in publicados/, and
prune, which deletes the objects that none of the last N publications names."""
import os
import re

from .chunks import is_chunk_index, records_of
from .frames import is_frame_index, packed_of
from .manifests import DEFAULT_MANIFEST, FULL_MANIFEST, OBJECTS_FOLDER, listed_files, named_objects
from .store import write_atomically

PUBLISHED_FOLDER = "publicados"   # every publication's manifests, for prune
OBJECT_NAME = re.compile(r"^[0-9a-f]{64}$")
RECORD_NAME = re.compile(r"^([0-9]+)-(.+)$")


def record_publication(out, manifests):
    """Keeps this publication's manifests in publicados/ under the number after the highest there,
    signed or not: no later publication overwrites them, and the numbers say the order of publishing.
    (Records written before were named by serial when signed; their numbers still count.)"""
    folder = out / PUBLISHED_FOLDER
    folder.mkdir(exist_ok=True)
    numbers = [int(m.group(1)) for m in map(RECORD_NAME.match, os.listdir(folder)) if m]
    number = max(numbers, default=0) + 1
    for name, data in manifests:
        write_atomically(folder / f"{number}-{name}", data)


def removed_files(out, listed):
    """(path, digest) of each file that a publication still recorded in publicados/ (as many as prune
    kept), or the one published last, listed and listed (this release's paths) does not, sorted: the
    launchers delete such a file where the player's copy has one of these digests. Paths are compared
    as Windows does, without regard to case or slash."""
    def key(path):
        return path.replace("/", "\\").lower()
    folder = out / PUBLISHED_FOLDER
    lists = [out / FULL_MANIFEST] + [folder / entry for entry in (os.listdir(folder) if folder.is_dir() else [])
                                     if RECORD_NAME.match(entry)]
    kept = {key(path) for path in listed}
    return sorted({(path, digest) for manifest in lists for path, digest in listed_files(manifest)
                   if key(path) not in kept})


def prune(out, keep, dry_run=False):
    """Deletes the objects that none of the last keep publications names, and the records of the
    publications before them; with dry_run, only lists them."""
    if keep < 1:
        raise SystemExit("publish: refused: --keep must be at least 1")
    folder = out / PUBLISHED_FOLDER
    records = {}
    for entry in (os.listdir(folder) if folder.is_dir() else []):
        match = RECORD_NAME.match(entry)
        if match:
            records.setdefault(int(match.group(1)), []).append(folder / entry)
    kept = sorted(records)[-keep:]
    named = set()
    for manifest in [out / FULL_MANIFEST, out / DEFAULT_MANIFEST] + [r for n in kept for r in records[n]]:
        if manifest.is_file():
            named |= named_objects(manifest.read_bytes())
    objects = out / OBJECTS_FOLDER
    for index in [objects / digest for digest in named if (objects / digest).is_file()]:
        if is_chunk_index(index):  # its records stay with it
            named.add(records_of(index))
        elif is_frame_index(index):  # and its compressed object with it
            named.add(packed_of(index))
    going = [objects / entry for entry in sorted(os.listdir(objects) if objects.is_dir() else [])
             if OBJECT_NAME.match(entry) and entry not in named]
    old_records = sorted(record for number in records if number not in kept for record in records[number])
    verb = "would remove" if dry_run else "removed"
    for path in going + old_records:
        if not dry_run:
            path.unlink()
        print(f"{verb} {path.relative_to(out)}")
    print(f"{verb} {len(going)} object(s) and {len(old_records)} publication record(s); kept {len(named)} "
          f"object(s) that the last {len(kept)} publication(s) or the current manifests name")
    return len(going)
