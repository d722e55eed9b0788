"""Compressed forms: each file as independently decodable Zstandard frames, each a run of whole chunks of
the launcher's chunker (so a patch can fetch just the frames that hold its missing chunks), concatenated
into one object, and the frame index that names them, an object too.

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
from .manifests import FRAMES_IN_MANIFEST, OBJECTS_FOLDER, listed_indexes
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
    """The compressed forms the release in OUT lists, by their file's digest: digest -> (index digest,
    index size)."""
    return {file_digest: (index_digest, size) for file_digest, index_digest, size
            in listed_indexes(out, FRAMES_IN_MANIFEST).values() if file_digest}


def served_form(out, listed):
    """(index digest, index size, compressed size) of a listed form whose index and compressed object are
    both served; None otherwise."""
    index = out / OBJECTS_FOLDER / listed[0]
    if not index.is_file() or index.stat().st_size != listed[1]:
        return None
    fields = index_fields(index.read_bytes()[:HEADER.size])
    packed = out / OBJECTS_FOLDER / fields["packed_digest"]
    if not packed.is_file() or packed.stat().st_size != fields["packed_size"]:
        return None
    return listed[0], listed[1], fields["packed_size"]


def compress_file(entry, out, level, frame_target, progress):
    """The file's compressed form and frame index written as objects, when they are smaller than the
    file; answers ((index digest, index size, compressed size) or None, objects written, objects found)."""
    relative, digest, size, source = entry
    with tempfile.TemporaryDirectory() as scratch:
        packed = Path(scratch) / "packed"
        with open(packed, "wb") as target:
            index = write_compressed(source, size, digest, target, level, frame_target,
                                     lambda length: advance(progress, length, relative))
        fields = index_fields(index[:HEADER.size])
        if fields["packed_size"] + len(index) >= size:
            detail(f"{relative}: compressed, {size_text(fields['packed_size'])} of {size_text(size)}: kept raw only")
            return None, 0, 0
        index_path = Path(scratch) / "index"
        index_path.write_bytes(index)
        written = 0
        for made, name in ((packed, fields["packed_digest"]), (index_path, sha256_of(index_path))):
            target = out / OBJECTS_FOLDER / name
            if not target.is_file() or target.stat().st_size != made.stat().st_size:
                write_object(made, target)
                written += 1
        detail(f"{relative}: {fields['count']} frame(s), {size_text(fields['packed_size'])} of {size_text(size)}")
        return (name, len(index), fields["packed_size"]), written, 2 - written


def write_compressed_forms(files, out, level=FRAME_LEVEL, frame_target=FRAME_TARGET):
    """Each file's compressed form and frame index as objects (reused when the release in OUT lists a form
    of the same content and both objects are served), for every file whose form is smaller than the file,
    index included. Answers a record: frames, path -> (index digest, index size); sent, path -> bytes of
    the form, index included; written and there, objects written and found already; cut, files
    compressed anew."""
    (out / OBJECTS_FOLDER).mkdir(parents=True, exist_ok=True)
    previous = previous_forms(out)
    record = out / NO_GAIN_RECORD
    known = set(record.read_text().splitlines()) if record.is_file() else set()
    no_gain = set(known)
    found = {"frames": {}, "sent": {}, "written": 0, "there": 0, "cut": 0}
    forms = {}  # by the file's digest: files of the same content share their form
    progress = start_progress("compressed forms", len(files), sum(size for _, _, size, _ in files))
    for _, digest, _, _ in files:
        if digest not in forms:
            forms[digest] = served_form(out, previous[digest]) if digest in previous else None
            found["there"] += 2 if forms[digest] else 0
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
            found["frames"][relative] = forms[digest][:2]
            found["sent"][relative] = forms[digest][2] + forms[digest][1]
    if no_gain != known:
        record.parent.mkdir(exist_ok=True)
        write_atomically(record, "".join(f"{line}\n" for line in sorted(no_gain)).encode("ascii"))
    return found
