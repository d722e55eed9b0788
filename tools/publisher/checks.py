"""Staging and checks: the release's files as the launcher will list them,
every reason the launcher could not bring them into line in full, and the
launcher.cfg that installed players go by."""
import re
from pathlib import Path

from .manifests import DEFAULT_MANIFEST, FULL_MANIFEST

CONFIG_NAME = "launcher.cfg"
DEFAULT_EXECUTABLE = "client.exe"
LONGEST_BASE_URL = 511     # characters of URL_BASE the launcher keeps
LONGEST_EXECUTABLE = 63    # characters of EXECUTAVEL
# The launcher's own files beside the game: a release must not overwrite them.
LAUNCHER_STATE_FILES = ("launcher.serie",)
# Windows devices, extension or not; COM and LPT also with the superscript
# digits of code page 1252.
DEVICE = re.compile(r"^(CON|PRN|AUX|NUL|CONIN\$|CONOUT\$|(COM|LPT)[1-9\u00b9\u00b2\u00b3])$", re.IGNORECASE)
LARGEST_SIZE = (1 << 63) - 1   # bytes of a file the launcher lists
MOST_ENTRIES = 1000000     # files the launcher reads
# A listed path is kept to 259 characters, and the launcher downloads it
# through "<path>.tmp", which must fit the same 259.
LONGEST_PATH = 259 - len(".tmp")
LONGEST_VERSION = 127      # characters of the version the launcher keeps


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
    if len(files) > MOST_ENTRIES:
        problems.append(f"the release holds {len(files)} files; the launcher reads at most {MOST_ENTRIES}")
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


MOST_MIRRORS = 4  # ESPELHO lines the launcher takes


def config_text(base_url, executable, mirrors=()):
    """The launcher.cfg of a published release: no MANIFESTO line, so players ask for manifesto.txt;
    an ESPELHO line per mirror, in order."""
    problems = []
    for option, url in [("--write-config", base_url)] + [("--mirror", mirror) for mirror in mirrors]:
        if not re.fullmatch(r"https?://[!-~]+/", url) or len(url) > LONGEST_BASE_URL:
            problems.append(f"{option} {url}: an http:// or https:// address without blanks that ends in "
                            f"'/', at most {LONGEST_BASE_URL} characters")
    if len(mirrors) > MOST_MIRRORS:
        problems.append(f"--mirror: at most {MOST_MIRRORS}, the launcher takes no more")
    if not re.fullmatch(r"[!-~]+", executable) or len(executable) > LONGEST_EXECUTABLE:
        problems.append(f"--executable {executable}: a program name without blanks, at most {LONGEST_EXECUTABLE} "
                        "characters")
    if problems:
        raise SystemExit("publish: refused:\n  " + "\n  ".join(problems))
    return (f"# Written by publish_release.py: where installed players find the game.\r\n"
            f"URL_BASE    {base_url}\r\n" + "".join(f"ESPELHO     {mirror}\r\n" for mirror in mirrors) +
            f"EXECUTAVEL  {executable}\r\n").encode("ascii")


def with_config(files, write_config, executable, no_config, scratch, mirrors=()):
    """The release's files with the launcher.cfg that --write-config asks for; a release without one
    is refused unless --no-config says so on purpose."""
    has_config = any(relative.lower() == CONFIG_NAME for relative, _ in files)
    if no_config and (has_config or write_config is not None):
        raise SystemExit(f"publish: refused: --no-config, yet the release holds a {CONFIG_NAME} or --write-config "
                         "writes one")
    if mirrors and write_config is None:
        raise SystemExit("publish: refused: --mirror goes with --write-config, into the launcher.cfg it writes")
    if write_config is None:
        if not has_config and not no_config:
            raise SystemExit(f"publish: refused: the release holds no {CONFIG_NAME}: new installs would keep "
                             f"asking for {FULL_MANIFEST} and overwrite the files left out (--leave-out) at every "
                             f"start; add one, use --write-config URL, or --no-config to publish without one on "
                             "purpose")
        return files
    if has_config:
        raise SystemExit(f"publish: refused: the release holds its own {CONFIG_NAME}; drop it or --write-config")
    config = Path(scratch) / CONFIG_NAME
    config.write_bytes(config_text(write_config, executable, mirrors))
    return sorted(files + [(CONFIG_NAME, config)])
