"""One publication, in the order that keeps a server consistent: the release
checked before anything is written, then objects and chunk indexes, then the
files by path, the manifests, the publication's record, and last the path
copies of files the release dropped."""
import tempfile

from .checks import DEFAULT_EXECUTABLE, collect, release_problems, with_config
from .chunks import MIN_CHUNKED_SIZE, write_chunk_indexes
from .launcher_keys import check_launcher_keys
from .launcher_limits import in_launcher_order, limits_problem, needed_limits
from .manifests import DEFAULT_MANIFEST, FULL_MANIFEST, OBJECTS_FOLDER, listed_paths, manifest_text
from .records import record_publication
from .signing import signed_text, signing_plan
from .store import remove_dropped_path_copies, sha256_of, write_atomically, write_objects, write_path_copies


def publish(release, out, version, leave_out=(), sign=(), serial=None, expires_in=None, write_config=None,
            executable=DEFAULT_EXECUTABLE, objects=True, min_chunked_size=MIN_CHUNKED_SIZE, no_config=False,
            mirrors=()):
    """Publishes release into out and answers the entries written."""
    if not release.is_dir():
        raise SystemExit(f"publish: {release} is not a folder")
    with tempfile.TemporaryDirectory() as scratch:
        files = with_config(collect(release), write_config, executable, no_config, scratch, mirrors)
        problems = release_problems(files, version, leave_out) + [p for p in [limits_problem(files)] if p]
        if problems:
            raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))
        plan = signing_plan(out, sign, serial, expires_in)
        check_launcher_keys(files, out, plan[0] if plan else [])
        return publish_files(files, out, version, leave_out, plan, objects, min_chunked_size)


def publish_files(files, out, version, leave_out, plan, objects, min_chunked_size):
    """Writes the checked files into out, objects and chunk indexes first, then paths, then the manifests."""
    files = [(relative, sha256_of(source), source.stat().st_size, source) for relative, source in files]
    earlier = listed_paths(out / FULL_MANIFEST)
    blocks = {}
    written = set()
    if objects:
        written = write_objects(files, out)
        blocks, indexes_written, indexes_there = write_chunk_indexes(files, out, min_chunked_size)
        print(f"wrote {len(written) + indexes_written} object(s) into {OBJECTS_FOLDER}, "
              f"{len(files) - len(written) + indexes_there} were there already")
    copied = write_path_copies(files, out, objects, written)
    print(f"copied {copied} file(s), left {len(files) - copied} as they were")

    entries = in_launcher_order([(relative, digest, size) for relative, digest, size, _ in files])
    left_out = {path.replace("/", "\\").lower() for path in leave_out}
    manifests = []
    for name, listed in ((FULL_MANIFEST, entries), (DEFAULT_MANIFEST, [e for e in entries if e[0].lower() not in left_out])):
        text = manifest_text(version, listed, objects, blocks, needed_limits([size for _, _, size in listed]))
        manifests.append((name, signed_text(text, *plan, name=name) if plan else text.encode("ascii")))
        write_atomically(out / name, manifests[-1][1])
    if objects:
        record_publication(out, manifests)
    remove_dropped_path_copies(out, earlier, [relative for relative, _, _ in entries])
    signed = f", signed with {len(plan[0])} key(s), serial {plan[1]}" if plan else ""
    print(f"wrote {FULL_MANIFEST} and {DEFAULT_MANIFEST} for version {version} ({len(entries)} files{signed}) in {out}")
    return entries
