"""What a launcher.exe reads of a manifest, against what a release needs.
Launchers before 1 000 000 entries and 64-bit sizes read at most 4 096
entries of at most 4 294 967 295 bytes: one of them drops the entries beyond
and the lines of larger files. A release beyond those limits therefore lists
launcher.exe first (an installed launcher replaces itself before it checks
anything) and, right after it, an ARQUIVO-LIMITES line (manifests.py), which
such a launcher takes for a file with ":" in its path and refuses, so that
one that could not replace itself never starts the game with files it did
not check. A release's launcher.exe must read what the release needs: it
says so by a mark compiled into it."""
import re

from .launcher_keys import LAUNCHER_NAME

OLD_MOST_ENTRIES = 4096
OLD_LARGEST_SIZE = 0xFFFFFFFF
LIMITS_MARK = re.compile(rb"QRV-LIMITES-DO-MANIFESTO ([0-9]+) ([0-9]+)\0")


def needed_limits(sizes):
    """(entries, bits of a size) that a list of files of these sizes needs of a launcher, or None
    within the old limits."""
    bits = 64 if any(size > OLD_LARGEST_SIZE for size in sizes) else 32
    if len(sizes) <= OLD_MOST_ENTRIES and bits == 32:
        return None
    return len(sizes), bits


def in_launcher_order(entries):
    """The entries with launcher.exe first, the others as they came."""
    return sorted(entries, key=lambda entry: entry[0].lower() != LAUNCHER_NAME)


def launcher_limits(launcher):
    """(entries, bits) that this launcher.exe reads; (4096, 32) when it carries no mark."""
    found = LIMITS_MARK.search(launcher.read_bytes())
    return (int(found.group(1)), int(found.group(2))) if found else (OLD_MOST_ENTRIES, 32)


def limits_problem(files):
    """Why the release's launcher.exe cannot bring a release beyond the old limits into line, or None."""
    needed = needed_limits([source.stat().st_size for _, source in files])
    if not needed:
        return None
    what = " and ".join(([f"{needed[0]} files"] if needed[0] > OLD_MOST_ENTRIES else []) +
                        ([f"a file over {OLD_LARGEST_SIZE} bytes"] if needed[1] > 32 else []))
    own = next((source for relative, source in files if relative.lower() == LAUNCHER_NAME), None)
    if not own:
        return (f"the release lists {what}, which installed launchers cannot read, and holds no {LAUNCHER_NAME} "
                f"to replace them: add a {LAUNCHER_NAME} built with 1 000 000 entries and 64-bit sizes")
    entries_read, bits_read = launcher_limits(own)
    if entries_read < needed[0] or bits_read < needed[1]:
        return (f"the release lists {what}, and its {LAUNCHER_NAME} reads at most {entries_read} files of "
                f"{bits_read}-bit sizes: build it from a source that reads 1 000 000 entries and 64-bit sizes")
    return None
