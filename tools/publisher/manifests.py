"""The lists a publication writes: their names, their lines, and what a
published list says about the files and objects it names."""
import re

FULL_MANIFEST = "manifesto_completo.txt"
DEFAULT_MANIFEST = "manifesto.txt"
OBJECTS_FOLDER = "objetos/"       # where the immutable copies live, named by their digest
DIGEST_IN_MANIFEST = re.compile(rb"^(?:ARQUIVO|BLOCOS|QUADROS?)[ \t]+([0-9a-fA-F]{64})[ \t]", re.MULTILINE)
BLOCKS_IN_MANIFEST = re.compile(rb"^BLOCOS[ \t]+([0-9a-f]{64})[ \t]+([0-9]+)[ \t]+([^\r\n]+)$", re.MULTILINE)
FRAMES_IN_MANIFEST = re.compile(rb"^QUADROS[ \t]+([0-9a-f]{64})[ \t]+([0-9]+)[ \t]+([^\r\n]+)$", re.MULTILINE)
ONE_FRAME_IN_MANIFEST = re.compile(rb"^QUADRO[ \t]+([0-9a-f]{64})[ \t]+([0-9]+)[ \t]+([^\r\n]+)$", re.MULTILINE)
FILE_IN_MANIFEST = re.compile(rb"^ARQUIVO[ \t]+([0-9a-fA-F]{64})[ \t]+[0-9]+[ \t]+([^\r\n]+)$", re.MULTILINE)
SERIAL_LINE = re.compile(rb"^SERIE[ \t]+([0-9]+)[ \t]*\r?$", re.MULTILINE)


def limits_line(needs):
    """What a list beyond older launchers' limits needs, (entries, bits of a size), as its ARQUIVO-LIMITES
    line. Older launchers read it as a file whose path holds ":" and refuse it."""
    entries, bits = needs
    return (f"ARQUIVO-LIMITES {entries} {bits} exige um atualizador que leia {entries} arquivos e tamanhos de "
            f"{bits} bits: o launcher.exe listado antes desta linha\n")


def manifest_text(version, entries, objects=False, blocks=None, needs=None, removed=(), frames=None):
    """The list; blocks maps a path to its chunk index (digest, size), written after its ARQUIVO line, and
    frames to its compressed form (word, digest, size), written after those: QUADROS and its frame index,
    or QUADRO and the compressed object of a file that is one frame (launchers before frames pass over
    both);
    needs, when given, is written as an ARQUIVO-LIMITES line after the first entry (the launcher's);
    removed, (path, digest) pairs, as REMOVIDO lines after the entries (launchers before them pass over them)."""
    blocks = blocks or {}
    frames = frames or {}
    lines = [f"VERSAO {version}\n"] + ([f"OBJETOS {OBJECTS_FOLDER}\n"] if objects else [])
    for number, (relative, digest, size) in enumerate(entries):
        lines.append(f"ARQUIVO {digest} {size} {relative}\n")
        if relative in blocks:
            lines.append(f"BLOCOS {blocks[relative][0]} {blocks[relative][1]} {relative}\n")
        if relative in frames:
            lines.append(f"{frames[relative][0]} {frames[relative][1]} {frames[relative][2]} {relative}\n")
        if needs and number == 0:
            lines.append(limits_line(needs))
    lines += [f"REMOVIDO {digest} {relative}\n" for relative, digest in removed]
    return "".join(lines)


def listed_indexes(out, pattern):
    """What the release in OUT says of the indexes that pattern's lines name: path -> (file digest, index
    digest, index size)."""
    manifest = out / FULL_MANIFEST
    files = listed_digests(manifest)
    if files is None:
        return {}
    return {path.decode("latin-1"): (files.get(path.decode("latin-1")), digest.decode(), int(size))
            for digest, size, path in pattern.findall(manifest.read_bytes())}


def listed_paths(manifest):
    """The paths a list in OUT names (none when it is missing)."""
    if not manifest.is_file():
        return []
    return [path.decode("latin-1") for _, path in FILE_IN_MANIFEST.findall(manifest.read_bytes())]


def listed_files(manifest):
    """(path, lower-case digest) of every ARQUIVO line of a list in OUT (none when it is missing)."""
    if not manifest.is_file():
        return []
    return [(path.decode("latin-1"), digest.decode().lower())
            for digest, path in FILE_IN_MANIFEST.findall(manifest.read_bytes())]


def listed_digests(manifest):
    """path -> digest of each file a list in OUT names; None when it is missing."""
    return dict(listed_files(manifest)) if manifest.is_file() else None


def named_objects(manifest_bytes):
    return {digest.decode().lower() for digest in DIGEST_IN_MANIFEST.findall(manifest_bytes)}


def published_serial(out):
    """The highest serial of the manifests already in OUT; 0 when unsigned or absent."""
    serials = [0]
    for name in (FULL_MANIFEST, DEFAULT_MANIFEST):
        path = out / name
        if path.is_file():
            serials += [int(match) for match in SERIAL_LINE.findall(path.read_bytes())]
    return max(serials)
