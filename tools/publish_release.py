#!/usr/bin/env python3
"""Turns a release folder into what the distribution server serves.

    publish_release.py RELEASE OUT --version 1.0.42 [--leave-out PATH ...]

OUT receives a copy of every file of RELEASE (same relative paths),
"manifesto_completo.txt" listing every file, and "manifesto.txt", the same list
without the paths named by --leave-out (files only a first install needs).
Each list has a VERSAO line and one line per file:
"ARQUIVO <lowercase sha256> <size> <path with backslashes>".
Paths that the launcher would refuse (device names, ":", components of dots)
stop the publication before anything is written.
"""
import argparse
import hashlib
import re
import shutil
import sys
from pathlib import Path

FULL_MANIFEST = "manifesto_completo.txt"
DEFAULT_MANIFEST = "manifesto.txt"
DEVICE = re.compile(r"^(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])$", re.IGNORECASE)
LARGEST_SIZE = 0xFFFFFFFF


def unsafe_reason(relative):
    """Why the launcher would refuse this path, or None."""
    if ":" in relative:
        return "contains ':'"
    for component in relative.split("\\"):
        if DEVICE.match(re.split(r"[. ]", component, maxsplit=1)[0]):
            return f"names a device ({component})"
        if component and set(component) <= {".", " "}:
            return f"has a component of dots ({component})"
        if component != component.rstrip(" ."):
            return f"has a component ending in a blank or a dot ({component})"
    return None


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for chunk in iter(lambda: file.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def collect(release):
    """(relative path with backslashes, source path) of every file, sorted."""
    files = []
    for source in sorted(release.rglob("*")):
        if source.is_file():
            files.append(("\\".join(source.relative_to(release).parts), source))
    return files


def manifest_text(version, entries):
    lines = [f"VERSAO {version}\n"]
    lines += [f"ARQUIVO {digest} {size} {relative}\n" for relative, digest, size in entries]
    return "".join(lines)


def publish(release, out, version, leave_out=()):
    """Publishes release into out and answers the entries written."""
    if not release.is_dir():
        raise SystemExit(f"publish: {release} is not a folder")
    if "\n" in version or "\r" in version or not version.strip():
        raise SystemExit("publish: the version must be one non-empty line")
    files = collect(release)
    problems = [f"{relative}: {reason}" for relative, _ in files if (reason := unsafe_reason(relative))]
    problems += [f"{relative}: is the manifest's own name" for relative, _ in files
                 if relative.lower() in (FULL_MANIFEST, DEFAULT_MANIFEST)]
    problems += [f"{relative}: larger than 4294967295 bytes" for relative, source in files
                 if source.stat().st_size > LARGEST_SIZE]
    listed = {relative.lower() for relative, _ in files}
    problems += [f"{path}: --leave-out names no file of the release" for path in leave_out
                 if path.replace("/", "\\").lower() not in listed]
    if problems:
        raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))

    entries = []
    for relative, source in files:
        target = out.joinpath(*relative.split("\\"))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        entries.append((relative, sha256_of(source), source.stat().st_size))
        print(f"published {relative} ({entries[-1][2]} bytes)")

    left_out = {path.replace("/", "\\").lower() for path in leave_out}
    (out / FULL_MANIFEST).write_text(manifest_text(version, entries), newline="\n")
    (out / DEFAULT_MANIFEST).write_text(
        manifest_text(version, [e for e in entries if e[0].lower() not in left_out]), newline="\n")
    print(f"wrote {FULL_MANIFEST} and {DEFAULT_MANIFEST} for version {version} ({len(entries)} files) in {out}")
    return entries


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("release", type=Path)
    parser.add_argument("out", type=Path)
    parser.add_argument("--version", required=True)
    parser.add_argument("--leave-out", action="append", default=[], metavar="PATH")
    arguments = parser.parse_args(argv)
    publish(arguments.release, arguments.out, arguments.version, arguments.leave_out)


if __name__ == "__main__":
    sys.exit(main())
