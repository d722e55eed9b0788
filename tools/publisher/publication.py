"""One publication, in the order that keeps a server consistent: the release
checked before anything is written, then objects and chunk indexes (each file
read once for both), compressed forms, then the files by path, the manifests
(with the files earlier publications listed and this one drops, for the
launchers to remove), the publication's record, and last the path copies of
files the release dropped."""
import tempfile

from .checks import DEFAULT_EXECUTABLE, collect, release_problems, with_config
from .chunks import MIN_CHUNKED_SIZE, write_chunk_indexes
from .frames import FRAME_LEVEL, FRAME_TARGET, MOST_FRAME_TARGET, write_compressed_forms
from .intake import read_release
from .launcher_keys import check_launcher_keys
from .launcher_limits import in_launcher_order, limits_problem, needed_limits
from .manifests import DEFAULT_MANIFEST, FULL_MANIFEST, listed_digests, listed_paths, manifest_text
from .records import record_publication, removed_files
from .report import say, set_verbose, summary
from .signing import signed_text, signing_plan
from .sources import path_copy_unchanged, read_record, write_record
from .store import remove_dropped_path_copies, write_atomically, write_objects, write_path_copies


NO_FORMS = {"frames": {}, "sent": {}, "written": 0, "there": 0, "cut": 0}


def publish(release, out, version, leave_out=(), sign=(), serial=None, expires_in=None, write_config=None,
            executable=DEFAULT_EXECUTABLE, objects=True, min_chunked_size=MIN_CHUNKED_SIZE, no_config=False,
            verbose=False, mirrors=(), compression=None, verify=False):
    """Publishes release into out and answers the entries written; verbose prints a line per file;
    verify reads every file, even those the last publication's record knows unchanged.
    compression: frame_size, level, raw_objects (False: no raw object for a file with a compressed
    form) and forms (False: no compressed forms), each defaulting as the command does."""
    set_verbose(verbose)
    if not release.is_dir():
        raise SystemExit(f"publish: {release} is not a folder")
    with tempfile.TemporaryDirectory() as scratch:
        files = with_config(collect(release), write_config, executable, no_config, scratch, mirrors)
        problems = release_problems(files, version, leave_out) + [p for p in [limits_problem(files)] if p]
        if problems:
            raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))
        plan = signing_plan(out, sign, serial, expires_in)
        check_launcher_keys(files, out, plan[0] if plan else [], sign)
        compression = {"frame_size": FRAME_TARGET, "level": FRAME_LEVEL, "raw_objects": True, "forms": True, **(compression or {})}
        if not 0 < compression["frame_size"] <= MOST_FRAME_TARGET:
            raise SystemExit(f"publish: refused: --frame-size must be from 1 to {MOST_FRAME_TARGET} bytes (launchers "
                             "read frames of up to 4 MB)")
        return publish_files(files, out, version, leave_out, plan, objects, min_chunked_size, compression, verify)


def publish_files(files, out, version, leave_out, plan, objects, min_chunked_size, compression, verify):
    """Writes the checked files into out, objects and chunk indexes first (from the one read of each file;
    a raw object that waits for its compressed form is written after it), then compressed forms, paths,
    the manifests, and last the record of the files for the next publication."""
    record = read_record(out, verify)
    raw_first = objects and (compression["raw_objects"] or not compression["forms"])
    reading = read_release(files, out, record, min_chunked_size if objects else None, raw_first)
    files, stamps = reading["files"], reading["stamps"]
    earlier = listed_paths(out / FULL_MANIFEST)
    previous = listed_digests(out / FULL_MANIFEST)
    blocks, patched, frames = {}, {}, {}
    written = set()
    figures = {"files": files}
    if objects:
        forms = write_compressed_forms(files, out, compression["level"], compression["frame_size"]) \
            if compression["forms"] else NO_FORMS
        frames = forms["frames"]
        raw = [entry for entry in files if compression["raw_objects"] or entry[0] not in frames]
        written = reading["written"] if raw_first else write_objects(raw, out)
        indexes = write_chunk_indexes(files, out, min_chunked_size, reading["cut"])
        blocks, patched = indexes["blocks"], indexes["patched"]
        figures.update(objects_written=len(written) + indexes["written"] + forms["written"],
                       objects_there=len({digest for _, digest, _, _ in raw}) - len(written) + indexes["there"] +
                       forms["there"], chunked=len(blocks), indexes_cut=indexes["cut"], compressed=forms,
                       raw_objects=compression["raw_objects"])
    figures["fetched"] = fetched_by_earlier_players(files, previous, patched)
    figures["copied"] = write_path_copies(files, out, objects, written, path_copy_unchanged(record))

    entries = in_launcher_order([(relative, digest, size) for relative, digest, size, _ in files])
    left_out = {path.replace("/", "\\").lower() for path in leave_out}
    removed = removed_files(out, [relative for relative, _, _ in entries])
    manifests = []
    for name, listed in ((FULL_MANIFEST, entries), (DEFAULT_MANIFEST, [e for e in entries if e[0].lower() not in left_out])):
        text = manifest_text(version, listed, objects, blocks, needed_limits([size for _, _, size in listed]), removed,
                             frames)
        manifests.append((name, signed_text(text, *plan, name=name) if plan else text.encode("ascii")))
        write_atomically(out / name, manifests[-1][1])
    if objects:
        record_publication(out, manifests)
    figures["removed"] = remove_dropped_path_copies(out, earlier, [relative for relative, _, _ in entries])
    if objects:
        write_record(out, files, stamps)
    summary(figures)
    signed = f", signed with {len(plan[0])} key(s), serial {plan[1]}" if plan else ""
    say(f"wrote {FULL_MANIFEST} and {DEFAULT_MANIFEST} for version {version} ({len(entries)} files{signed}) in {out}")
    say(f"{len({path.lower() for path, _ in removed})} file(s) removed from players' folders where unchanged")
    return entries


def fetched_by_earlier_players(files, previous, patched):
    """(bytes, files) a player of the earlier release fetches: changed and new files whole, or their
    patches where their chunk index allows; None without an earlier release."""
    if previous is None:
        return None
    changed = [(relative, size) for relative, digest, size, _ in files if previous.get(relative) != digest]
    return sum(patched.get(relative, size) for relative, size in changed), len(changed)
