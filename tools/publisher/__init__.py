"""The publisher behind tools/publish_release.py, one concern a module:

- manifests:     the lists' names and lines, and what a published list says
- figures:       sizes as the publisher prints them
- report:        what a publication prints: summary, --verbose lines, progress
- checks:        what the launcher could not bring into line, and launcher.cfg
- store:         files written whole under temporary names: objects and path
                 copies, and the path copies a release dropped
- sources:       the record of the last publication's files, which vouches
                 for the digests of files unchanged since
- chunks:        chunk indexes cut by the native reader, their objects, and
                 patch figures through the native helper
- intake:        each file read once, on every processor: its digest, its
                 object and its chunk index from the same bytes
- frames:        compressed forms: Zstandard frames of whole chunks, and
                 their frame indexes
- launcher_keys: the keys a launcher.exe checks, against the signing keys
- launcher_limits: what a launcher.exe reads of a manifest, against what a
                 release needs, and the order that lets older launchers
                 replace themselves first
- signing:       keys, serials and signature lines
- records:       each publication's lists in publicados/, and prune
- publication:   the order a publication writes things in
- command:       the command line

Modules call only those above them in this list, and nothing here calls the
command line.
"""
