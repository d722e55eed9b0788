#!/usr/bin/python3
"""Turns a release folder into what the distribution server serves.

    publish_release.py RELEASE OUT --version V [--leave-out PATH ...]
                       [--write-config URL [--mirror URL ...] [--executable NAME] | --no-config]
                       [--sign KEY.pem ...] [--serial N] [--expires-in DAYS]
                       [--no-objects] [--min-chunked-size BYTES] [--frame-size BYTES]
                       [--compression-level N] [--no-compressed] [--no-raw-objects]
                       [--verify] [--verbose]
    publish_release.py prune OUT --keep N [--dry-run]
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
are kept in "publicados/", numbered in the order published, signed or not;
prune deletes the objects that none of the last N publications names (never
one that the current lists name) and the records of the publications before
those N, and --dry-run lists them instead.

Every file of at least --min-chunked-size bytes (1 MB unless told) also gets
a chunk index (a table of its pages) and the records of its chunks, objects
too, and its line "BLOCOS <index sha256> <index size> <path>" after its
ARQUIVO line: a launcher then rebuilds a changed file
from the player's old copy and fetches only the chunks that are new. The
indexes are cut by the launcher's own chunker in the one read of each file
(a native reader, tools/chunk_reader.cpp, and a helper, tools/chunk_helper.cpp,
compiled into build/tools on first use, which it says); with --verbose the publisher prints, for each such file, how many
chunks are new against the previous release in OUT and what a player of that
release will fetch.

Every file also gets a compressed form where it pays: its bytes cut into
frames of whole chunks (closed at the first chunk seam past --frame-size,
64 KB unless told), each an independent Zstandard frame (level 19 unless
--compression-level says, the content size in its header, no dictionary) or,
when a frame does not shrink, its bytes as they are; the frames one after
another are an object. A file of one frame is named by the line
"QUADRO <compressed sha256> <compressed size> <path>" after the file's
ARQUIVO line: the compressed object is the frame. A file of more frames has
a frame index too (the file's size and digest, the compressed object's, and
per frame its offset, lengths, flags and SHA-256), another object, named by
the line "QUADROS <index sha256> <index size> <path>" after the file's
ARQUIVO line (and its BLOCOS line); since the index costs a request, such a
form is kept only when it saves at least 16 KB. Launchers that read frames
fetch fewer bytes, older ones pass over both lines. A file whose form is not
smaller gets none (no line); such contents are recorded in
publicados/sem-ganho.txt and not compressed again with the same settings.
--no-compressed writes none (and no QUADRO or QUADROS lines).
--no-raw-objects writes no raw object for a file with a compressed form: only
launchers that read frames then install it from the objects (path copies are
still written).

It prints a summary: the release's files and bytes (and how many share their
content with another file), objects written and found, its raw and
compressed sizes, chunk indexes, files
copied by path, what a player of the previous release fetches, and files
removed; --verbose adds a line for each file copied, removed or indexed. Long
work shows progress on stderr: one line rewritten in place in a terminal, a
plain line every 10 seconds elsewhere (a CI log), no control characters.

The release must hold its own launcher.cfg (URL_BASE and EXECUTAVEL, no
MANIFESTO line): the first update puts it in place of the one the installer
wrote, which asks for the complete list, and that is how installed players
move on to manifesto.txt. Without one the publication is refused unless
--no-config says so on purpose (new installs then keep asking for the
complete list and overwrite the files left out at every start);
--write-config writes one into the published release, with an ESPELHO line
for each --mirror.

With --sign each list ends in "NOME <its own name>" (so the two lists of a
release cannot be swapped), "SERIE <n>", "EXPIRA <yyyy-mm-dd>" (with
--expires-in) and one "ASSINATURA <base64>" line per key: an RSA PKCS#1 v1.5
SHA-256 signature over every byte before the first of them. The serial
defaults to the one already published in OUT plus one; a serial not above it
is refused. A release whose launcher.exe (or, without one, the previous
publication's in OUT) holds keys but none of the signing keys is refused,
naming the fingerprints and the files they were read from: every player
running it would refuse the release;
the previous publication's launcher holding none of them draws a warning.
keygen writes NAME.pem (the private key, RSA 3072, mode 0600) and
NAME.pub.pem (what the launcher's build takes, QRV_MANIFEST_KEYS), making
their folder when missing, and prints the key's fingerprint as the build
does: "SHA-256" and the SHA-256 of its DER form.

A release that the launcher could not bring into line in full (names it would
refuse or that arrive differently in other code pages, too many files, paths
too long) stops the publication before anything is written. A file already
served with the same size and digest is not copied again. Each file is read
once, on every processor, for its digest, its object and its chunk index;
publicados/fontes.json records each file's size, time stamp and digest, and
the next publication into OUT takes the digest from it for a file of the same
size and time stamp, and does not read again the path copies it left
(--verify reads everything). Every file is written under a temporary name,
put on disk and renamed into place (a path copy linked to its object takes a
free name at once: a link appears whole), the data files before the
manifests, so a server never serves a half-written file or a manifest that
names a file not yet in place. Once the manifests are in place, the path
copies of files that the previous publication listed and this one does not
are removed; their objects stay until prune.
"""
import os  # noqa: F401 (the tests patch os.replace through this module, as when it held the publisher)
import sys

# The names the tests, the demo and the benchmarks take from the command.
from publisher.checks import unsafe_reason  # noqa: F401
from publisher.chunks import records_of  # noqa: F401
from publisher.command import main as run_command
from publisher.frames import index_fields  # noqa: F401
from publisher.launcher_limits import in_launcher_order  # noqa: F401
from publisher.manifests import manifest_text  # noqa: F401
from publisher.publication import publish  # noqa: F401
from publisher.signing import keygen, load_private_key, signed_text  # noqa: F401
from publisher.store import sha256_of  # noqa: F401


def main(argv=None):
    return run_command(argv, __doc__)


if __name__ == "__main__":
    sys.exit(main())
