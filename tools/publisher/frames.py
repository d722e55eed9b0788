"""Compressed forms: each file as independently decodable Zstandard frames, each a run of whole chunks of
the launcher's chunker (so a patch can fetch just the frames that hold its missing chunks), concatenated
into one object, and the frame index that names them, an object too. A file that is one frame needs no
index: its QUADRO line names the compressed object itself, and the form costs no request more than the
raw object.

The frame index, little-endian, a header and one fixed-size record a frame:
  header (104 bytes): "QRVQUADR", version (u32), the file's size (u64) and SHA-256, the compressed
    object's SHA-256 and size (u64), the frame count (u32), the largest decoded and the largest
    compressed frame (u32 each)
  record (52 bytes): offset in the compressed object (u64), compressed length (u32), decoded length
    (u32), flags (u32; FRAME_STORED: the bytes are the chunks as they are, and both lengths are equal),
    the SHA-256 of the frame's bytes in the compressed object
"""
import hashlib
import os
import struct
import tempfile
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import zstandard

from .chunks import chunk_reader, read_natively
from .figures import size_text
from .manifests import FRAMES_IN_MANIFEST, OBJECTS_FOLDER, ONE_FRAME_IN_MANIFEST, listed_indexes
from .report import advance, detail, start_progress
from .store import in_parallel, sha256_of, write_atomically, write_object

FRAME_TARGET = 64 << 10    # a frame closes at the first chunk seam past this (see the README's figures)
MOST_FRAME_TARGET = (4 << 20) - (64 << 10)  # launchers read frames of up to 4 MB; a chunk is at most 64 KB
FRAME_LEVEL = 19
INDEX_MAGIC = b"QRVQUADR"
INDEX_VERSION = 1
HEADER = struct.Struct("<8sIQ32s32sQIII")
RECORD = struct.Struct("<QIII32s")
FRAME_STORED = 1
FRAMES_AT_ONCE = 32        # frames read and compressed together: memory stays a few times the target
# A form with a frame index costs the launcher one request more than the raw object: kept only when it
# saves at least what a 100 Mbit/s line carries in the millisecond or so that request takes near its
# server. (On SuperTuxKart's data this drops 371 of 648 such forms, which saved 1.1 MB of 719 MB.)
LEAST_INDEXED_SAVING = 16 << 10
# The contents whose form saved nothing, "<file digest> <frame size> <level>" a line: not compressed again
# while published with the same settings (most of a game's packs of PNG and Ogg are such).
NO_GAIN_RECORD = "publicados/sem-ganho.txt"


CHUNK_LENGTH = struct.Struct("<I32x")  # a chunk record: the chunk's length, its SHA-256


def chunk_lengths(source):
    """The lengths of the file's chunks, as the launcher's chunker cuts them (in-process, no helper started)."""
    with open(source, "rb", buffering=0) as file:
        records = read_natively(file, -1, True)[2][1]
    return [length for (length,) in CHUNK_LENGTH.iter_unpack(records)]


def frame_lengths(chunks, target):
    """Runs of whole chunks, each closed once it reaches target bytes (the last one where the file ends)."""
    frames, run = [], 0
    for length in chunks:
        run += length
        if run >= target:
            frames.append(run)
            run = 0
    return frames + ([run] if run else [])


compressors = threading.local()


def compressed_frame(data, level):
    """The frame as written: Zstandard with its content size and no dictionary, or the bytes as they are
    when that does not shrink them. Answers (bytes, flags)."""
    if getattr(compressors, "level", None) != level:
        compressors.level = level
        compressors.zstd = zstandard.ZstdCompressor(level=level, write_content_size=True, write_checksum=False,
                                                    write_dict_id=False)
    packed = compressors.zstd.compress(data)
    return (packed, 0) if len(packed) < len(data) else (data, FRAME_STORED)


def write_compressed(source, size, digest, target, level=FRAME_LEVEL, frame_target=FRAME_TARGET, on_frame=None):
    """Writes the file's frames into the open file target and answers its frame index (bytes);
    on_frame, when given, hears of each frame's decoded length as it is done."""
    records, offset = [], 0
    packed_digest, read_digest = hashlib.sha256(), hashlib.sha256()
    lengths = frame_lengths(chunk_lengths(source), frame_target)
    with open(source, "rb") as file, ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        for first in range(0, len(lengths), FRAMES_AT_ONCE):
            pieces = [file.read(length) for length in lengths[first:first + FRAMES_AT_ONCE]]
            for piece, (packed, flags) in zip(pieces, pool.map(compressed_frame, pieces, [level] * len(pieces))):
                read_digest.update(piece)
                target.write(packed)
                packed_digest.update(packed)
                records.append(RECORD.pack(offset, len(packed), len(piece), flags, hashlib.sha256(packed).digest()))
                offset += len(packed)
                if on_frame:
                    on_frame(len(piece))
    if read_digest.hexdigest() != digest:
        raise SystemExit(f"publish: {source} changed while it was published; publish again")
    header = HEADER.pack(INDEX_MAGIC, INDEX_VERSION, size, bytes.fromhex(digest), packed_digest.digest(), offset,
                         len(records), max(lengths, default=0),
                         max((RECORD.unpack_from(r)[1] for r in records), default=0))
    return header + b"".join(records)


def is_frame_index(path):
    with open(path, "rb") as file:
        return file.read(len(INDEX_MAGIC)) == INDEX_MAGIC


def packed_of(index):
    """The name of the compressed object that a frame index names."""
    with open(index, "rb") as file:
        return index_fields(file.read(HEADER.size))["packed_digest"]


def index_fields(index):
    """The header's fields and each record's, as a dict (the tests and the publisher's reuse read them)."""
    (magic, version, size, digest, packed_digest, packed_size, count, largest, largest_packed) = \
        HEADER.unpack_from(index)
    frames = [dict(zip(("offset", "length", "decoded", "flags", "digest"), RECORD.unpack_from(index, at)))
              for at in range(HEADER.size, len(index), RECORD.size)]
    return {"magic": magic, "version": version, "size": size, "digest": digest.hex(),
            "packed_digest": packed_digest.hex(), "packed_size": packed_size, "count": count,
            "largest": largest, "largest_packed": largest_packed, "frames": frames}


def previous_forms(out):
    """The compressed forms the release in OUT lists, by their file's digest: digest -> (word, object
    digest, object size), the object a frame index (QUADROS) or a one-frame compressed object (QUADRO)."""
    return {file_digest: (word, digest, size)
            for word, pattern in (("QUADROS", FRAMES_IN_MANIFEST), ("QUADRO", ONE_FRAME_IN_MANIFEST))
            for file_digest, digest, size in listed_indexes(out, pattern).values() if file_digest}


def form_of(fields, index_digest, index_size, size):
    """What a file of size bytes is listed with, given its frame index's fields: (word, object digest,
    object size, bytes a first install fetches), or None when the raw object does better."""
    if fields["count"] == 1:
        packed = fields["packed_size"]  # a stored frame is as long as the file
        return ("QUADRO", fields["packed_digest"], packed, packed) if packed < size else None
    sent = fields["packed_size"] + index_size
    return ("QUADROS", index_digest, index_size, sent) if sent + LEAST_INDEXED_SAVING <= size else None


def served_form(out, listed, size):
    """The form of a listed one whose objects are all served, as form_of answers it (None otherwise)."""
    word, digest, listed_size = listed
    made = out / OBJECTS_FOLDER / digest
    if not made.is_file() or made.stat().st_size != listed_size:
        return None
    if word == "QUADRO":
        return (word, digest, listed_size, listed_size) if listed_size < size else None
    fields = index_fields(made.read_bytes()[:HEADER.size])
    packed = out / OBJECTS_FOLDER / fields["packed_digest"]
    if not packed.is_file() or packed.stat().st_size != fields["packed_size"]:
        return None
    return form_of(fields, digest, listed_size, size)


def compress_file(entry, out, level, frame_target, progress):
    """The file's compressed form written as objects (the compressed object, and its frame index when it
    has more than one frame), when form_of keeps it; answers (the form or None, objects written, objects
    found)."""
    relative, digest, size, source = entry
    with tempfile.TemporaryDirectory() as scratch:
        packed = Path(scratch) / "packed"
        with open(packed, "wb") as target:
            index = write_compressed(source, size, digest, target, level, frame_target,
                                     lambda length: advance(progress, length, relative))
        fields = index_fields(index[:HEADER.size])
        index_path = Path(scratch) / "index"
        index_path.write_bytes(index)
        index_digest = sha256_of(index_path)
        form = form_of(fields, index_digest, len(index), size)
        if not form:
            detail(f"{relative}: compressed, {size_text(fields['packed_size'])} of {size_text(size)}: kept raw only")
            return None, 0, 0
        made = [(packed, fields["packed_digest"])] + ([(index_path, index_digest)] if form[0] == "QUADROS" else [])
        written = 0
        for path, name in made:
            target = out / OBJECTS_FOLDER / name
            if not target.is_file() or target.stat().st_size != path.stat().st_size:
                write_object(path, target)
                written += 1
        detail(f"{relative}: {fields['count']} frame(s), {size_text(fields['packed_size'])} of {size_text(size)}")
        return form, written, len(made) - written


def write_compressed_forms(files, out, level=FRAME_LEVEL, frame_target=FRAME_TARGET):
    """Each file's compressed form as objects (reused when the release in OUT lists a form of the same
    content and its objects are served), for every file whose form form_of keeps. Answers a record:
    frames, path -> (word, object digest, object size) for its manifest line; sent, path -> bytes of the
    form, index included; written and there, objects written and found already; cut, files compressed
    anew."""
    (out / OBJECTS_FOLDER).mkdir(parents=True, exist_ok=True)
    previous = previous_forms(out)
    record = out / NO_GAIN_RECORD
    known = set(record.read_text().splitlines()) if record.is_file() else set()
    no_gain = set(known)
    found = {"frames": {}, "sent": {}, "written": 0, "there": 0, "cut": 0}
    forms = {}  # by the file's digest: files of the same content share their form
    progress = start_progress("compressed forms", len(files), sum(size for _, _, size, _ in files))
    for _, digest, size, _ in files:
        if digest not in forms:
            forms[digest] = served_form(out, previous[digest], size) if digest in previous else None
            found["there"] += {None: 0, "QUADRO": 1, "QUADROS": 2}[forms[digest] and forms[digest][0]]
    settings = {digest: f"{digest} {frame_target} {level}" for digest in forms}
    anew = list({entry[1]: entry for entry in reversed(files)
                 if not forms[entry[1]] and entry[2] > HEADER.size + RECORD.size
                 and settings[entry[1]] not in no_gain}.values())
    if anew:
        chunk_reader()  # built and loaded once, before the workers need it
    for entry, (form, written, there) in zip(anew, in_parallel(
            lambda entry: compress_file(entry, out, level, frame_target, progress), anew)):
        forms[entry[1]] = form
        found.update(cut=found["cut"] + 1, written=found["written"] + written, there=found["there"] + there)
        no_gain |= set() if form else {settings[entry[1]]}
    counted = {entry[1] for entry in anew}  # their frames advanced the progress as they were done
    for relative, digest, size, _ in files:
        advance(progress, 0 if digest in counted else size, relative, file_done=True)
        counted.add(digest)
        if forms[digest]:
            found["frames"][relative] = forms[digest][:3]
            found["sent"][relative] = forms[digest][3]
    if no_gain != known:
        record.parent.mkdir(exist_ok=True)
        write_atomically(record, "".join(f"{line}\n" for line in sorted(no_gain)).encode("ascii"))
    return found
