#!/usr/bin/python3
"""Turns a release folder into what the distribution server serves.

    publish_release.py RELEASE OUT --version V [--leave-out PATH ...]
                       [--write-config URL [--executable NAME]]
                       [--sign KEY.pem ...] [--serial N] [--expires-in DAYS]
                       [--no-objects] [--min-chunked-size BYTES]
    publish_release.py prune OUT --keep N
    publish_release.py keygen NAME

OUT receives a copy of every file of RELEASE (same relative paths),
"manifesto_completo.txt" listing every file, and "manifesto.txt", the same list
without the paths named by --leave-out (files only a first install needs).
Each list has a VERSAO line and one line per file:
"ARQUIVO <lowercase sha256> <size> <path with backslashes>".

Every file is also written once as an immutable object, "objetos/<sha256>"
(never rewritten; a hard link to its path copy where the file system allows),
and each list gains the line "OBJETOS objetos/": launchers then fetch files by
digest, so a cache (a CDN edge, a proxy) can never hand out another version
under a name. --no-objects publishes by path only. Each publication's lists
are kept in "publicados/" (named by serial, or by publication number when
unsigned), and prune deletes the objects that none of the last N
publications names (never one that the current lists name).

Every file of at least --min-chunked-size bytes (1 MB unless told) also gets
a chunk index (a table of its pages) and the records of its chunks, objects
too, and its line "BLOCOS <index sha256> <index size> <path>" after its
ARQUIVO line: a launcher then rebuilds a changed file
from the player's old copy and fetches only the chunks that are new. The
indexes come from a native helper built from the launcher's own chunker
(tools/chunk_helper.cpp, compiled into build/tools on first use); the
publisher prints, for each such file, how many chunks are new against the
previous release in OUT and what a player of that release will fetch.

The release should hold its own launcher.cfg (URL_BASE and EXECUTAVEL, no
MANIFESTO line): the first update puts it in place of the one the installer
wrote, which asks for the complete list, and that is how installed players
move on to manifesto.txt. Without one the publisher warns; --write-config
writes one into the published release.

With --sign each list ends in "NOME <its own name>" (so the two lists of a
release cannot be swapped), "SERIE <n>", "EXPIRA <yyyy-mm-dd>" (with
--expires-in) and one "ASSINATURA <base64>" line per key: an RSA PKCS#1 v1.5
SHA-256 signature over every byte before the first of them. The serial
defaults to the one already published in OUT plus one; a serial not above it
is refused. keygen writes NAME.pem (the private key, RSA 3072, mode 0600) and
NAME.pub.pem (what the launcher's build takes, QRV_MANIFEST_KEYS).

A release that the launcher could not bring into line in full (names it would
refuse or that arrive differently in other code pages, too many files, paths
too long) stops the publication before anything is written. A file already
served with the same size and digest is not copied again. Every file is
written under a temporary name and renamed into place, the data files before
the manifests, so a server never serves a half-written file or a manifest that
names a file not yet in place.
"""
import argparse
import base64
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

FULL_MANIFEST = "manifesto_completo.txt"
DEFAULT_MANIFEST = "manifesto.txt"
OBJECTS_FOLDER = "objetos/"       # where the immutable copies live, named by their digest
PUBLISHED_FOLDER = "publicados"   # every publication's manifests, for prune
OBJECT_NAME = re.compile(r"^[0-9a-f]{64}$")
DIGEST_IN_MANIFEST = re.compile(rb"^(?:ARQUIVO|BLOCOS)[ \t]+([0-9a-fA-F]{64})[ \t]", re.MULTILINE)
BLOCKS_IN_MANIFEST = re.compile(rb"^BLOCOS[ \t]+([0-9a-f]{64})[ \t]+([0-9]+)[ \t]+([^\r\n]+)$", re.MULTILINE)
FILE_IN_MANIFEST = re.compile(rb"^ARQUIVO[ \t]+([0-9a-fA-F]{64})[ \t]+[0-9]+[ \t]+([^\r\n]+)$", re.MULTILINE)
MIN_CHUNKED_SIZE = 1 << 20  # smaller files are fetched whole: their index and the scan would not pay
ROOT = Path(__file__).resolve().parents[1]
HELPER_SOURCES = ["tools/chunk_helper.cpp", "patch/chunker.cpp", "patch/chunk_index.cpp", "patch/sha256.cpp"]
HELPER = ROOT / "build" / "tools" / "qrv_blocos"
RECORD_NAME = re.compile(r"^([0-9]+)-(.+)$")
CONFIG_NAME = "launcher.cfg"
DEFAULT_EXECUTABLE = "client.exe"
LONGEST_BASE_URL = 511     # characters of URL_BASE the launcher keeps
LONGEST_EXECUTABLE = 63    # characters of EXECUTAVEL
# The launcher's own files beside the game: a release must not overwrite them.
LAUNCHER_STATE_FILES = ("launcher.serie",)
# Windows devices, extension or not; COM and LPT also with the superscript
# digits of code page 1252.
DEVICE = re.compile(r"^(CON|PRN|AUX|NUL|CONIN\$|CONOUT\$|(COM|LPT)[1-9\u00b9\u00b2\u00b3])$", re.IGNORECASE)
LARGEST_SIZE = 0xFFFFFFFF
MANIFEST_CAPACITY = 4096   # entries the launcher reads
# A listed path is kept to 259 characters, and the launcher downloads it
# through "<path>.tmp", which must fit the same 259.
LONGEST_PATH = 259 - len(".tmp")
LONGEST_VERSION = 127      # characters of the version the launcher keeps
KEY_BITS = 3072
TEMPORARY_PREFIX = ".publishing-"
PUBLISHED_MODE = 0o644  # what a web server's workers read
OBJECT_MODE = 0o444     # objects never change: a write in place is refused (but for root)
SERIAL_LINE = re.compile(rb"^SERIE[ \t]+([0-9]+)[ \t]*\r?$", re.MULTILINE)


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


# The launcher puts a path into its URL as it stands: these would be read as
# an escape, a fragment or a query, and the server would never find the file.
URL_SPECIAL = "%#?"


def reach_reason(relative):
    """Why the launcher could not bring this path into line as listed, or None."""
    if any(not " " <= character <= "~" for character in relative):
        return "holds a character outside printable ASCII (players' code pages differ)"
    if any(character in URL_SPECIAL for character in relative):
        return "holds '%', '#' or '?', which the launcher's URLs cannot carry as they stand"
    if len(relative) > LONGEST_PATH:
        return (f"is {len(relative)} characters long; the launcher handles at most {LONGEST_PATH} "
                "(259, less its temporary name's \".tmp\")")
    if relative.lower() in (FULL_MANIFEST, DEFAULT_MANIFEST):
        return "is the manifest's own name"
    if relative.lower() in LAUNCHER_STATE_FILES:
        return "is a file the launcher keeps for itself"
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


def version_problems(version):
    if not version.strip():
        return ["the version must not be empty"]
    if any(ord(character) < 32 or ord(character) == 127 for character in version):
        return ["the version holds a control character"]
    if any(not " " <= character <= "~" for character in version):
        return ["the version holds a character outside printable ASCII (players' code pages differ)"]
    if len(version) > LONGEST_VERSION:
        return [f"the version is {len(version)} characters long; the launcher keeps {LONGEST_VERSION}"]
    return []


def release_problems(files, version, leave_out):
    """One line per reason the launcher could not check this release in full."""
    problems = version_problems(version)
    if len(files) > MANIFEST_CAPACITY:
        problems.append(f"the release holds {len(files)} files; the launcher reads at most {MANIFEST_CAPACITY}")
    for relative, source in files:
        reason = unsafe_reason(relative) or reach_reason(relative)
        if reason:
            problems.append(f"{relative}: {reason}")
        elif source.stat().st_size > LARGEST_SIZE:
            problems.append(f"{relative}: larger than {LARGEST_SIZE} bytes")
    listed = {relative.lower() for relative, _ in files}
    problems += [f"{path}: --leave-out names no file of the release" for path in leave_out
                 if path.replace("/", "\\").lower() not in listed]
    return problems


def manifest_text(version, entries, objects=False, blocks=None):
    """The list; blocks maps a path to its chunk index (digest, size), written after its ARQUIVO line."""
    blocks = blocks or {}
    lines = [f"VERSAO {version}\n"] + ([f"OBJETOS {OBJECTS_FOLDER}\n"] if objects else [])
    for relative, digest, size in entries:
        lines.append(f"ARQUIVO {digest} {size} {relative}\n")
        if relative in blocks:
            lines.append(f"BLOCOS {blocks[relative][0]} {blocks[relative][1]} {relative}\n")
    return "".join(lines)


def chunk_helper():
    """The native helper, compiled from the launcher's sources when missing or older than them."""
    sources = [ROOT / source for source in HELPER_SOURCES] + [ROOT / "patch" / "patch.h", ROOT / "transfer" / "transfer.h"]
    if HELPER.exists() and HELPER.stat().st_mtime >= max(source.stat().st_mtime for source in sources):
        return HELPER
    HELPER.parent.mkdir(parents=True, exist_ok=True)
    compiler = shutil.which("g++") or shutil.which("clang++")
    if not compiler:
        raise SystemExit("publish: a C++ compiler (g++ or clang++) is needed to build the chunk helper")
    temporary = HELPER.with_name(f"{HELPER.name}.{os.getpid()}")
    subprocess.run([compiler, "-O2", "-std=c++17", f"-I{ROOT}", "-o", str(temporary),
                    *[str(ROOT / source) for source in HELPER_SOURCES]], check=True)
    os.replace(temporary, HELPER)
    return HELPER


RECORDS_DIGEST = slice(84, 116)  # where a chunk index's header names its records object


def records_of(index):
    """The name of the records object that a chunk index names."""
    with open(index, "rb") as file:
        return file.read(RECORDS_DIGEST.stop)[RECORDS_DIGEST].hex()


def previous_blocks(out):
    """What the release in OUT says of its chunked files: path -> (file digest, index digest, index size)."""
    manifest = out / FULL_MANIFEST
    if not manifest.is_file():
        return {}
    data = manifest.read_bytes()
    files = {path.decode(): digest.decode().lower() for digest, path in FILE_IN_MANIFEST.findall(data)}
    return {path.decode(): (files.get(path.decode()), digest.decode(), int(size))
            for digest, size, path in BLOCKS_IN_MANIFEST.findall(data)}


def is_indexed(out, index_digest):
    """The chunk index and the records it names are both served."""
    index = out / OBJECTS_FOLDER / index_digest
    return index.is_file() and (out / OBJECTS_FOLDER / records_of(index)).is_file()


def write_chunk_indexes(files, out, min_chunked_size):
    """Each large file's chunk index and records as objects (reused when the file is unchanged);
    answers path -> (index digest, index size), and says what a player of the previous release fetches."""
    previous = previous_blocks(out)
    blocks = {}
    for relative, digest, size, source in files:
        if size < min_chunked_size:
            continue
        known = previous.get(relative)
        if known and known[0] == digest and is_indexed(out, known[1]):
            blocks[relative] = known[1:]
            continue
        with tempfile.TemporaryDirectory() as scratch:
            index, records = Path(scratch) / "index", Path(scratch) / "records"
            subprocess.run([str(chunk_helper()), "index", str(source), str(index), str(records)], check=True,
                           stdout=subprocess.DEVNULL)
            for made in (records, index):  # the records first: the index names them
                if not (out / OBJECTS_FOLDER / sha256_of(made)).is_file():
                    write_object(made, out / OBJECTS_FOLDER / sha256_of(made))
            blocks[relative] = (sha256_of(index), index.stat().st_size)
        report_patch(relative, size, out, known and is_indexed(out, known[1]) and known[1], blocks[relative])
    return blocks


def report_patch(relative, size, out, old_index, new_index):
    """How many chunks are new against the previous release, and what its players fetch."""
    if not old_index:
        print(f"{relative}: chunk index of {new_index[1]} bytes (no earlier release to patch from)")
        return
    objects = out / OBJECTS_FOLDER
    plan = subprocess.run([str(chunk_helper()), "plan", str(objects / old_index),
                           str(objects / records_of(objects / old_index)), str(objects / new_index[0]),
                           str(objects / records_of(objects / new_index[0]))],
                          check=True, capture_output=True, text=True).stdout
    new, total, fetched, records = (int(n) for n in re.match(
        r"(\d+) of (\d+) chunks new in \d+ of \d+ pages, (\d+) bytes to fetch and (\d+) bytes of records",
        plan).groups())
    print(f"{relative}: {new} of {total} chunks new; a player of the previous release fetches "
          f"{(fetched + records + new_index[1]) / 1048576:.1f} MB (index included) of {size / 1048576:.1f} MB")


def replace_atomically(target, fill, mode=PUBLISHED_MODE):
    """Fills a temporary file beside the target and renames it into place:
    readers see the old file or the new one, whole."""
    descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=TEMPORARY_PREFIX)
    try:
        with os.fdopen(descriptor, "wb") as file:
            fill(file)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def write_atomically(target, data):
    replace_atomically(target, lambda file: file.write(data))


def copy_atomically(source, target, mode=PUBLISHED_MODE):
    def fill(file):
        with open(source, "rb") as original:
            shutil.copyfileobj(original, file, 1 << 20)
    replace_atomically(target, fill, mode)


def link_atomically(existing, target):
    """A hard link to existing under target's name, renamed into place; OSError where links are not allowed."""
    temporary = target.parent / f"{TEMPORARY_PREFIX}{os.getpid()}-{target.name}"
    temporary.unlink(missing_ok=True)
    os.link(existing, temporary)
    try:
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def is_served_already(target, size, digest):
    return target.is_file() and target.stat().st_size == size and sha256_of(target) == digest


def write_object(source, target):
    copy_atomically(source, target, OBJECT_MODE)


def write_objects(files, out):
    """Each file's immutable copy, written only when it is not there yet (or is
    plainly damaged: another size); answers how many were written."""
    folder = out / OBJECTS_FOLDER
    folder.mkdir(parents=True, exist_ok=True)
    written = 0
    for _, digest, size, source in files:
        target = folder / digest
        if not target.is_file() or target.stat().st_size != size:
            write_object(source, target)
            written += 1
    return written


def write_path_copies(files, out, objects):
    """The files by path, hard links to their objects where the file system
    allows; answers how many changed. A path copy that no longer matches was
    perhaps written in place, and with it its linked object: that object is
    checked, and written anew when it is damaged."""
    copied = 0
    for relative, digest, size, source in files:
        target = out.joinpath(*relative.split("\\"))
        target.parent.mkdir(parents=True, exist_ok=True)
        if is_served_already(target, size, digest):
            continue
        try:
            if not objects:
                raise OSError("no object to link to")
            stored = out / OBJECTS_FOLDER / digest
            if sha256_of(stored) != digest:
                print(f"publish: warning: {OBJECTS_FOLDER}{digest} was damaged (written in place?); written anew",
                      file=sys.stderr)
                write_object(source, stored)
            link_atomically(stored, target)
        except OSError:
            copy_atomically(source, target)
        copied += 1
        print(f"published {relative} ({size} bytes)")
    return copied


def record_publication(out, plan, manifests):
    """Keeps this publication's manifests in publicados/, named by serial (or the next number)."""
    folder = out / PUBLISHED_FOLDER
    folder.mkdir(exist_ok=True)
    numbers = [int(m.group(1)) for m in map(RECORD_NAME.match, os.listdir(folder)) if m]
    number = plan[1] if plan else max(numbers, default=0) + 1
    for name, data in manifests:
        write_atomically(folder / f"{number}-{name}", data)


def named_objects(manifest_bytes):
    return {digest.decode().lower() for digest in DIGEST_IN_MANIFEST.findall(manifest_bytes)}


def prune(out, keep):
    """Deletes the objects that none of the last keep publications names, and their older records."""
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
    removed = 0
    objects = out / OBJECTS_FOLDER
    for index in [objects / digest for digest in named if (objects / digest).is_file()]:
        with open(index, "rb") as file:
            if file.read(8) == b"QRVBLOCO":  # a chunk index: its records stay with it
                named.add(records_of(index))
    for entry in sorted(os.listdir(objects) if objects.is_dir() else []):
        if OBJECT_NAME.match(entry) and entry not in named:
            (objects / entry).unlink()
            removed += 1
            print(f"removed {OBJECTS_FOLDER}{entry}")
    for number in sorted(records):
        if number not in kept:
            for record in records[number]:
                record.unlink()
    print(f"removed {removed} object(s); kept {len(named)} that the last {len(kept)} publication(s) or the "
          f"current manifests name")
    return removed


def published_serial(out):
    """The highest serial of the manifests already in OUT; 0 when unsigned or absent."""
    serials = [0]
    for name in (FULL_MANIFEST, DEFAULT_MANIFEST):
        path = out / name
        if path.is_file():
            serials += [int(match) for match in SERIAL_LINE.findall(path.read_bytes())]
    return max(serials)


def load_private_key(path):
    from cryptography.hazmat.primitives import serialization
    return serialization.load_pem_private_key(Path(path).read_bytes(), password=None)


def signed_text(text, keys, serial, expires, name=DEFAULT_MANIFEST):
    """The manifest with its own name, serial, expiry and one signature line per key."""
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.asymmetric import padding
    body = text + f"NOME {name}\nSERIE {serial}\n" + (f"EXPIRA {expires.isoformat()}\n" if expires else "")
    data = body.encode("ascii")
    signatures = [key.sign(data, padding.PKCS1v15(), hashes.SHA256()) for key in keys]
    return data + b"".join(b"ASSINATURA " + base64.b64encode(s) + b"\n" for s in signatures)


def keygen(name):
    """NAME.pem (private, 0600, never printed) and NAME.pub.pem; an existing key is never overwritten."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    private_path, public_path = Path(f"{name}.pem"), Path(f"{name}.pub.pem")
    for path in (private_path, public_path):
        if path.exists():
            raise SystemExit(f"publish: {path} exists already; a key is never overwritten")
    key = rsa.generate_private_key(public_exponent=65537, key_size=KEY_BITS)
    private = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption())
    descriptor = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as file:
        file.write(private)
    public_path.write_bytes(key.public_key().public_bytes(serialization.Encoding.PEM,
                                                          serialization.PublicFormat.SubjectPublicKeyInfo))
    print(f"wrote {private_path} (private: keep it secret) and {public_path} (for QRV_MANIFEST_KEYS)")


def signing_plan(out, sign, serial, expires_in):
    """(keys, serial, expiry date) for a signed publication, or None for an unsigned one."""
    if not sign:
        if serial is not None or expires_in is not None:
            raise SystemExit("publish: --serial and --expires-in go with --sign")
        return None
    keys = [load_private_key(path) for path in sign]
    last = published_serial(out)
    serial = last + 1 if serial is None else serial
    if serial <= last:
        raise SystemExit(f"publish: refused: serial {serial} is not above {last}, the one already published")
    if serial > 0xFFFFFFFF:
        raise SystemExit("publish: refused: the serial must be below 2^32")
    if expires_in is not None and expires_in < 0:
        raise SystemExit("publish: refused: --expires-in must not be negative")
    expires = None
    if expires_in is not None:
        expires = datetime.datetime.now(datetime.timezone.utc).date() + datetime.timedelta(days=expires_in)
    return keys, serial, expires


def config_text(base_url, executable):
    """The launcher.cfg of a published release: no MANIFESTO line, so players ask for manifesto.txt."""
    problems = []
    if not re.fullmatch(r"https?://[!-~]+/", base_url) or len(base_url) > LONGEST_BASE_URL:
        problems.append(f"--write-config {base_url}: an http:// or https:// address without blanks that ends in "
                        f"'/', at most {LONGEST_BASE_URL} characters")
    if not re.fullmatch(r"[!-~]+", executable) or len(executable) > LONGEST_EXECUTABLE:
        problems.append(f"--executable {executable}: a program name without blanks, at most {LONGEST_EXECUTABLE} "
                        "characters")
    if problems:
        raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))
    return (f"# Written by publish_release.py: where installed players find the game.\r\n"
            f"URL_BASE    {base_url}\r\nEXECUTAVEL  {executable}\r\n").encode("ascii")


def with_config(files, write_config, executable, scratch):
    """The release's files with the launcher.cfg that --write-config asks for, or a warning without one."""
    has_config = any(relative.lower() == CONFIG_NAME for relative, _ in files)
    if write_config is None:
        if not has_config:
            print(f"publish: warning: the release holds no {CONFIG_NAME}: installed players would keep asking for "
                  f"{FULL_MANIFEST} for ever (so --leave-out changes nothing for them); add one, or use "
                  "--write-config URL", file=sys.stderr)
        return files
    if has_config:
        raise SystemExit(f"publish: refused: the release holds its own {CONFIG_NAME}; drop it or --write-config")
    config = Path(scratch) / CONFIG_NAME
    config.write_bytes(config_text(write_config, executable))
    return sorted(files + [(CONFIG_NAME, config)])


def publish(release, out, version, leave_out=(), sign=(), serial=None, expires_in=None, write_config=None,
            executable=DEFAULT_EXECUTABLE, objects=True, min_chunked_size=MIN_CHUNKED_SIZE):
    """Publishes release into out and answers the entries written."""
    if not release.is_dir():
        raise SystemExit(f"publish: {release} is not a folder")
    with tempfile.TemporaryDirectory() as scratch:
        files = with_config(collect(release), write_config, executable, scratch)
        problems = release_problems(files, version, leave_out)
        if problems:
            raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))
        plan = signing_plan(out, sign, serial, expires_in)
        return publish_files(files, out, version, leave_out, plan, objects, min_chunked_size)


def publish_files(files, out, version, leave_out, plan, objects, min_chunked_size):
    """Writes the checked files into out, objects and chunk indexes first, then paths, then the manifests."""
    files = [(relative, sha256_of(source), source.stat().st_size, source) for relative, source in files]
    blocks = {}
    if objects:
        written = write_objects(files, out)
        print(f"wrote {written} object(s) into {OBJECTS_FOLDER}, {len(files) - written} were there already")
        blocks = write_chunk_indexes(files, out, min_chunked_size)
    copied = write_path_copies(files, out, objects)
    print(f"copied {copied} file(s), left {len(files) - copied} as they were")

    entries = [(relative, digest, size) for relative, digest, size, _ in files]
    left_out = {path.replace("/", "\\").lower() for path in leave_out}
    manifests = []
    for name, listed in ((FULL_MANIFEST, entries), (DEFAULT_MANIFEST, [e for e in entries if e[0].lower() not in left_out])):
        text = manifest_text(version, listed, objects, blocks)
        manifests.append((name, signed_text(text, *plan, name=name) if plan else text.encode("ascii")))
        write_atomically(out / name, manifests[-1][1])
    if objects:
        record_publication(out, plan, manifests)
    signed = f", signed with {len(plan[0])} key(s), serial {plan[1]}" if plan else ""
    print(f"wrote {FULL_MANIFEST} and {DEFAULT_MANIFEST} for version {version} ({len(entries)} files{signed}) in {out}")
    return entries


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["prune"]:
        parser = argparse.ArgumentParser(prog="publish_release.py prune",
                                         description="Deletes the objects of OUT that none of its last N "
                                                     "publications names; never one the current manifests name.")
        parser.add_argument("out", type=Path, metavar="OUT", help="the folder the server serves")
        parser.add_argument("--keep", type=int, required=True, metavar="N",
                            help="publications whose files stay: players still on one of them find its files")
        arguments = parser.parse_args(argv[1:])
        prune(arguments.out, arguments.keep)
        return 0
    if argv[:1] == ["keygen"]:
        parser = argparse.ArgumentParser(prog="publish_release.py keygen",
                                         description="Makes a key pair for signing manifests: NAME.pem (private, "
                                                     "mode 0600, never overwritten) and NAME.pub.pem (for the "
                                                     "launcher's build, QRV_MANIFEST_KEYS).")
        parser.add_argument("name", metavar="NAME", help="the key files' path without .pem")
        keygen(parser.parse_args(argv[1:]).name)
        return 0
    parser = argparse.ArgumentParser(prog="publish_release.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="other commands:\n"
                                            "  prune OUT --keep N   delete the objects no recent publication names\n"
                                            "  keygen NAME          make a signing key pair\n"
                                            "(see 'publish_release.py prune --help', 'publish_release.py keygen --help')")
    parser.add_argument("release", type=Path, metavar="RELEASE", help="the folder that holds the release's files")
    parser.add_argument("out", type=Path, metavar="OUT", help="the folder the server serves (created when missing)")
    parser.add_argument("--version", required=True, metavar="V",
                        help="the release's version, shown to players (\"Updated to version V.\")")
    parser.add_argument("--leave-out", action="append", default=[], metavar="PATH",
                        help="a file only a first install needs: listed in manifesto_completo.txt, not in "
                             "manifesto.txt, so updates leave the player's copy alone (repeatable)")
    parser.add_argument("--write-config", metavar="URL",
                        help="writes launcher.cfg into the published release (URL_BASE URL, EXECUTAVEL; no "
                             "MANIFESTO) when the release holds none")
    parser.add_argument("--executable", default=DEFAULT_EXECUTABLE, metavar="NAME",
                        help=f"EXECUTAVEL of --write-config, the game's program (default {DEFAULT_EXECUTABLE})")
    parser.add_argument("--sign", action="append", default=[], metavar="KEY.pem",
                        help="signs both manifests with this private key (repeatable: a key rotation signs "
                             "with the old and the new key)")
    parser.add_argument("--serial", type=int, metavar="N",
                        help="the serial of a signed release (default: the one already in OUT plus one; it must "
                             "be above it)")
    parser.add_argument("--expires-in", type=int, metavar="DAYS",
                        help="signed manifests expire DAYS days from today (UTC); publish again before then")
    parser.add_argument("--no-objects", action="store_true",
                        help="publishes by path only: no objetos/ folder, no OBJETOS line, no chunk indexes "
                             "(as before objects)")
    parser.add_argument("--min-chunked-size", type=int, default=MIN_CHUNKED_SIZE, metavar="BYTES",
                        help=f"files of this size and more get a chunk index, so updates fetch only their new "
                             f"chunks (default {MIN_CHUNKED_SIZE})")
    arguments = parser.parse_args(argv)
    publish(arguments.release, arguments.out, arguments.version, arguments.leave_out, arguments.sign,
            arguments.serial, arguments.expires_in, arguments.write_config, arguments.executable,
            not arguments.no_objects, arguments.min_chunked_size)
    return 0


if __name__ == "__main__":
    sys.exit(main())
