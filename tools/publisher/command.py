"""The command line of publish_release.py: a publication, prune and keygen."""
import argparse
import sys
from pathlib import Path

from .checks import DEFAULT_EXECUTABLE
from .chunks import MIN_CHUNKED_SIZE
from .frames import FRAME_LEVEL, FRAME_TARGET
from .publication import publish
from .records import prune
from .signing import keygen


def run_prune(argv):
    parser = argparse.ArgumentParser(prog="publish_release.py prune",
                                     description="Deletes the objects of OUT that none of its last N "
                                                 "publications names (never one the current manifests name), "
                                                 "and the records in publicados/ of the publications before "
                                                 "those N. Path copies are left alone.")
    parser.add_argument("out", type=Path, metavar="OUT", help="the folder the server serves")
    parser.add_argument("--keep", type=int, required=True, metavar="N",
                        help="publications whose files stay: players still on one of them find its files")
    parser.add_argument("--dry-run", action="store_true",
                        help="lists what would be deleted and deletes nothing")
    arguments = parser.parse_args(argv)
    prune(arguments.out, arguments.keep, arguments.dry_run)


def run_keygen(argv):
    parser = argparse.ArgumentParser(prog="publish_release.py keygen",
                                     description="Makes a key pair for signing manifests: NAME.pem (private, "
                                                 "mode 0600, never overwritten) and NAME.pub.pem (for the "
                                                 "launcher's build, QRV_MANIFEST_KEYS), in a folder made when "
                                                 "missing, and prints the key's fingerprint as the build does.")
    parser.add_argument("name", metavar="NAME", help="the key files' path without .pem")
    keygen(parser.parse_args(argv).name)


def publication_parser(description):
    parser = argparse.ArgumentParser(prog="publish_release.py", description=description,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="other commands:\n"
                                            "  prune OUT --keep N [--dry-run]   delete the objects no recent publication "
                                            "names, and older records\n"
                                            "  keygen NAME                      make a signing key pair\n"
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
    parser.add_argument("--mirror", action="append", default=[], metavar="URL",
                        help="a mirror of --write-config's server, written as an ESPELHO line (repeatable, up to 4, "
                             "in order of preference)")
    parser.add_argument("--executable", default=DEFAULT_EXECUTABLE, metavar="NAME",
                        help=f"EXECUTAVEL of --write-config, the game's program (default {DEFAULT_EXECUTABLE})")
    parser.add_argument("--no-config", action="store_true",
                        help="publishes a release without launcher.cfg on purpose: new installs then keep asking "
                             "for manifesto_completo.txt and overwrite the files left out at every start")
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
    parser.add_argument("--frame-size", type=int, default=FRAME_TARGET, metavar="BYTES",
                        help=f"each file's compressed form is cut into frames of about this size, each a run of "
                             f"whole chunks (default {FRAME_TARGET}; a launcher reads frames of up to 4 MB)")
    parser.add_argument("--compression-level", type=int, default=FRAME_LEVEL, choices=range(1, 20), metavar="N",
                        help=f"the frames' Zstandard level, 1 to 19 (default {FRAME_LEVEL})")
    parser.add_argument("--no-compressed", action="store_true",
                        help="writes no compressed forms and no QUADRO or QUADROS lines (level 19 is the slowest "
                             "step of a publication; a later one without this option adds them)")
    parser.add_argument("--no-raw-objects", action="store_true",
                        help="writes no raw object for a file that has a compressed form: only launchers that "
                             "read frames then install it from the objects (the path copies stay)")
    parser.add_argument("--verify", action="store_true",
                        help="reads every file of the release and every path copy already served, even those "
                             "the last publication's record knows by size and time stamp")
    parser.add_argument("--verbose", action="store_true",
                        help="also a line for each file copied, removed or given a chunk index (by default "
                             "a summary, and progress on long work)")
    return parser


def main(argv, description):
    """Runs one command; description is the publication's --help text."""
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["prune"]:
        run_prune(argv[1:])
        return 0
    if argv[:1] == ["keygen"]:
        run_keygen(argv[1:])
        return 0
    arguments = publication_parser(description).parse_args(argv)
    publish(arguments.release, arguments.out, arguments.version, arguments.leave_out, arguments.sign,
            arguments.serial, arguments.expires_in, arguments.write_config, arguments.executable,
            not arguments.no_objects, arguments.min_chunked_size, arguments.no_config, arguments.verbose,
            arguments.mirror, {"frame_size": arguments.frame_size, "level": arguments.compression_level,
                               "raw_objects": not arguments.no_raw_objects, "forms": not arguments.no_compressed},
            arguments.verify)
    return 0
