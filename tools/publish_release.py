#!/usr/bin/python3
"""Turns a release folder into what the distribution server serves.

    publish_release.py RELEASE OUT --version V [--leave-out PATH ...]
                       [--write-config URL [--executable NAME]]
                       [--sign KEY.pem ...] [--serial N] [--expires-in DAYS]
    publish_release.py keygen NAME

OUT receives a copy of every file of RELEASE (same relative paths),
"manifesto_completo.txt" listing every file, and "manifesto.txt", the same list
without the paths named by --leave-out (files only a first install needs).
Each list has a VERSAO line and one line per file:
"ARQUIVO <lowercase sha256> <size> <path with backslashes>".

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
import sys
import tempfile
from pathlib import Path

FULL_MANIFEST = "manifesto_completo.txt"
DEFAULT_MANIFEST = "manifesto.txt"
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


def manifest_text(version, entries):
    lines = [f"VERSAO {version}\n"]
    lines += [f"ARQUIVO {digest} {size} {relative}\n" for relative, digest, size in entries]
    return "".join(lines)


def replace_atomically(target, fill):
    """Fills a temporary file beside the target and renames it into place:
    readers see the old file or the new one, whole."""
    descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=TEMPORARY_PREFIX)
    try:
        with os.fdopen(descriptor, "wb") as file:
            fill(file)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, PUBLISHED_MODE)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def write_atomically(target, data):
    replace_atomically(target, lambda file: file.write(data))


def copy_atomically(source, target):
    def fill(file):
        with open(source, "rb") as original:
            shutil.copyfileobj(original, file, 1 << 20)
    replace_atomically(target, fill)


def is_served_already(target, size, digest):
    return target.is_file() and target.stat().st_size == size and sha256_of(target) == digest


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
            executable=DEFAULT_EXECUTABLE):
    """Publishes release into out and answers the entries written."""
    if not release.is_dir():
        raise SystemExit(f"publish: {release} is not a folder")
    with tempfile.TemporaryDirectory() as scratch:
        files = with_config(collect(release), write_config, executable, scratch)
        problems = release_problems(files, version, leave_out)
        if problems:
            raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))
        plan = signing_plan(out, sign, serial, expires_in)
        return publish_files(files, out, version, leave_out, plan)


def publish_files(files, out, version, leave_out, plan):
    """Writes the checked files and their manifests into out."""
    entries = []
    copied = 0
    for relative, source in files:
        target = out.joinpath(*relative.split("\\"))
        target.parent.mkdir(parents=True, exist_ok=True)
        size, digest = source.stat().st_size, sha256_of(source)
        if not is_served_already(target, size, digest):
            copy_atomically(source, target)
            copied += 1
            print(f"published {relative} ({size} bytes)")
        entries.append((relative, digest, size))
    print(f"copied {copied} file(s), left {len(entries) - copied} as they were")

    left_out = {path.replace("/", "\\").lower() for path in leave_out}
    for name, listed in ((FULL_MANIFEST, entries), (DEFAULT_MANIFEST, [e for e in entries if e[0].lower() not in left_out])):
        text = manifest_text(version, listed)
        write_atomically(out / name, signed_text(text, *plan, name=name) if plan else text.encode("ascii"))
    signed = f", signed with {len(plan[0])} key(s), serial {plan[1]}" if plan else ""
    print(f"wrote {FULL_MANIFEST} and {DEFAULT_MANIFEST} for version {version} ({len(entries)} files{signed}) in {out}")
    return entries


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
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
                                     epilog="other command:\n  keygen NAME   make a signing key pair (see "
                                            "'publish_release.py keygen --help')")
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
    arguments = parser.parse_args(argv)
    publish(arguments.release, arguments.out, arguments.version, arguments.leave_out, arguments.sign,
            arguments.serial, arguments.expires_in, arguments.write_config, arguments.executable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
