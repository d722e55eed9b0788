"""Files written whole: every file goes under a temporary name beside its
target and is renamed into place, so a server serves the old file or the new
one, never half of one. Objects (one per digest, read-only, never rewritten)
and the path copies that are hard links to them live here."""
import hashlib
import os
import stat
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

from .checks import unsafe_reason
from .figures import size_text
from .manifests import OBJECTS_FOLDER
from .report import advance, detail, start_progress

TEMPORARY_PREFIX = ".publishing-"
PUBLISHED_MODE = 0o644  # what a web server's workers read
OBJECT_MODE = 0o444     # objects never change: a write in place is refused (but for root)


PROCESSORS = os.cpu_count() or 1
WRITERS = 16  # files written at once: their fsyncs share the file system's journal commits


def in_parallel(work, items, per_processor=1, at_least=1):
    """work(item) for each item on a pool of per_processor threads a processor, at least at_least
    (reading, hashing, compressing and fsync release the interpreter's lock); answers the results in
    the items' order."""
    with ThreadPoolExecutor(max(per_processor * PROCESSORS, at_least)) as pool:
        return list(pool.map(work, items))


def sha256_of(path, on_read=None):
    """The file's digest; on_read, when given, hears of each piece's size as it is read."""
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for chunk in iter(lambda: file.read(1 << 20), b""):
            digest.update(chunk)
            if on_read:
                on_read(len(chunk))
    return digest.hexdigest()


def replace_atomically(target, fill, mode=PUBLISHED_MODE):
    """Fills a temporary file beside the target and renames it into place:
    readers see the old file or the new one, whole."""
    descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=TEMPORARY_PREFIX)
    try:
        with os.fdopen(descriptor, "wb") as file:
            fill(file)
            file.flush()
            os.fsync(file.fileno())
            os.fchmod(file.fileno(), mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def write_atomically(target, data):
    replace_atomically(target, lambda file: file.write(data))


COPY_PIECE = 1 << 20


def copy_atomically(source, target, mode=PUBLISHED_MODE):
    """A copy in which pieces of zeros stay holes: a pack that is mostly empty space (preallocated,
    or a test's sparse file of gigabytes) takes no more room on the studio's disk than its source."""
    zeros = bytes(COPY_PIECE)

    def fill(file):
        with open(source, "rb") as original:
            for piece in iter(lambda: original.read(COPY_PIECE), b""):
                if piece == zeros[:len(piece)]:
                    file.seek(len(piece), os.SEEK_CUR)
                else:
                    file.write(piece)
            file.truncate()
    replace_atomically(target, fill, mode)


def link_atomically(existing, target):
    """A hard link to existing under target's name: made there at once when the name is free (a link
    appears whole), else made beside it and renamed into place; OSError where links are not allowed."""
    try:
        os.link(existing, target)
        return
    except FileExistsError:
        pass
    temporary = target.parent / f"{TEMPORARY_PREFIX}{os.getpid()}-{target.name}"
    temporary.unlink(missing_ok=True)
    os.link(existing, temporary)
    try:
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def is_served_already(target, size, digest):
    return size_of(target) == size and sha256_of(target) == digest


def write_object(source, target):
    copy_atomically(source, target, OBJECT_MODE)


def write_objects(files, out):
    """Each file's immutable copy, written only when it is not there yet (or is
    plainly damaged: another size), on a pool of writers; answers the digests of those written."""
    folder = out / OBJECTS_FOLDER
    folder.mkdir(parents=True, exist_ok=True)
    distinct = list({entry[1]: entry for entry in reversed(files)}.values())  # the first file of each content
    missing = [entry for entry in distinct if size_of(folder / entry[1]) != entry[2]]
    progress = start_progress("writing objects", len(missing), sum(size for _, _, size, _ in missing))

    def write(entry):
        relative, digest, size, source = entry
        write_object(source, folder / digest)
        advance(progress, size, relative, file_done=True)
    in_parallel(write, missing, at_least=WRITERS)
    return {entry[1] for entry in missing}


def size_of(path):
    """The file's size, or None where there is no file (one system call)."""
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def write_path_copies(files, out, objects, written=frozenset(), unchanged=lambda relative, digest, target: False):
    """The files by path, hard links to their objects where the file system
    allows; answers how many changed. A path copy that no longer matches was
    perhaps written in place, and with it its linked object: that object is
    checked, and written anew when it is damaged. Objects this publication
    wrote (written) are not read again: a pack of tens of GB would be; nor
    path copies that unchanged(relative, digest, target) vouches for (as the
    last publication left them)."""
    copied = 0
    folders = set()  # made already in this publication
    progress = start_progress("files by path", len(files), sum(size for _, _, size, _ in files))
    for relative, digest, size, source in files:
        advance(progress, size, relative, file_done=True)
        target = out.joinpath(*relative.split("\\"))
        if target.parent not in folders:
            target.parent.mkdir(parents=True, exist_ok=True)
            folders.add(target.parent)
        if unchanged(relative, digest, target) or is_served_already(target, size, digest):
            continue
        try:
            if not objects:
                raise OSError("no object to link to")
            stored = out / OBJECTS_FOLDER / digest
            if digest not in written and sha256_of(stored) != digest:
                print(f"publish: warning: {OBJECTS_FOLDER}{digest} was damaged (written in place?); written anew",
                      file=sys.stderr)
                write_object(source, stored)
            link_atomically(stored, target)
        except OSError:
            copy_atomically(source, target)
        copied += 1
        detail(f"published {relative} ({size_text(size)})")
    return copied


def remove_dropped_path_copies(out, earlier, listed):
    """The path copies of files that the previous lists named and these no longer do: a server (and a
    sync that mirrors OUT) must not serve them on. Their objects stay until prune. Answers how many."""
    removed = 0
    for relative in sorted(set(earlier) - set(listed)):
        if "/" in relative or unsafe_reason(relative):
            continue  # not a path this publisher writes
        target = out.joinpath(*relative.split("\\"))
        if not target.is_file():
            continue
        target.unlink()
        folder = target.parent
        while folder != out and not any(folder.iterdir()):
            folder.rmdir()
            folder = folder.parent
        kept = "; its object stays until prune" if (out / OBJECTS_FOLDER).is_dir() else ""
        detail(f"removed {relative}: the release no longer holds it{kept}")
        removed += 1
    return removed
