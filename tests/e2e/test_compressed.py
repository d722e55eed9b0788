"""Whole files fetched compressed end to end: the frame index and the
compressed object instead of the raw object, each frame checked before it is
decoded; whatever is missing or does not match falls back to the raw object,
and the file still ends as the server has it."""
import hashlib
import random
import struct

import pytest

from conftest import STUB_GAME
from test_update import GAME_STARTED, messages_after_start

TEXT = "data\\text.txt"
SMALL = "data\\small.txt"  # one frame: its QUADRO line names the compressed object itself
WORDS = ["quorvane", "launcher", "frame", "index", "object", "release", "player", "server", "digest", "chunk",
         "window", "literal", "sequence", "offset", "match", "stored", "update", "mirror", "manifest", "patch"]
# Where the compressed object's SHA-256 lies in a frame index: after its magic,
# version, and the file's size and SHA-256.
PACKED_DIGEST_AT = 8 + 4 + 8 + 32


def text(size=600_000, seed=5):
    """Text that compresses to about a third, in several 64 KB frames."""
    rng = random.Random(seed)
    words = []
    length = 0
    while length < size:
        word = rng.choice(WORDS) + (" " if rng.random() < 0.9 else "\n")
        words.append(word)
        length += len(word)
    return "".join(words).encode()[:size]


def compressible_release(game, release, server, **compression):
    release.add("client.exe", STUB_GAME.read_bytes())
    data = release.add("data/text.txt", text())
    release.add("data/small.txt", text(30_000, 6))
    release.publish("2.0", objects=True, compression=compression or None)
    game.write("client.exe", STUB_GAME.read_bytes())
    game.configure(server.base_url)
    return data


def frame_index(served, path=TEXT):
    """The digests of a published file's frame index and of its compressed object; (None, None) when it
    has none."""
    index = next((line.split()[1] for line in (served / "manifesto.txt").read_text().splitlines()
                  if line.startswith("QUADROS") and line.endswith(" " + path)), None)
    if index is None:
        return None, None
    with open(served / "objetos" / index, "rb") as header:
        return index, header.read(PACKED_DIGEST_AT + 32)[PACKED_DIGEST_AT:].hex()


def one_frame(served, path=SMALL):
    """The digest of the compressed object a published file's QUADRO line names."""
    return next(line.split()[1] for line in (served / "manifesto.txt").read_text().splitlines()
                if line.startswith("QUADRO ") and line.endswith(" " + path))


def asked_for(requests, digest):
    return [r for r in requests if "/objetos/" + digest in r["request"]]


def test_a_first_install_fetches_the_compressed_object_and_its_frame_index(game, release, nginx):
    data = compressible_release(game, release, nginx)
    index, packed = frame_index(release.served)
    small, small_packed = (release.root / "data" / "small.txt").read_bytes(), one_frame(release.served)

    assert game.run() == 0
    assert game.read("data/text.txt") == data
    assert game.read("data/small.txt") == small
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.quadros*"))
    requests = nginx.requests()
    assert asked_for(requests, index) and asked_for(requests, packed)
    assert not asked_for(requests, hashlib.sha256(data).hexdigest()), "the raw object is not asked"
    fetched = sum(int(r["bytes"]) for r in asked_for(requests, packed))
    assert fetched < len(data) // 2
    messages = messages_after_start(game)
    assert f"baixado comprimido: {TEXT} ({fetched} bytes recebidos, {len(data)} gravados)" in messages, messages
    # The one-frame file in one request: its compressed object, no index, no raw object.
    asked = asked_for(requests, small_packed)
    assert len(asked) == 1 and int(asked[0]["bytes"]) < len(small) // 2
    assert not asked_for(requests, hashlib.sha256(small).hexdigest())
    assert f"baixado comprimido: {SMALL} ({asked[0]['bytes']} bytes recebidos, {len(small)} gravados)" in messages
    assert len(requests) == 4, "the manifest, one frame index, the two files' compressed objects"
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def damage(path):
    """A served object with a byte changed in its middle: a new file, never a write into the
    published one."""
    body = bytearray(path.read_bytes())
    body[len(body) // 2] ^= 0x55
    path.unlink()
    path.write_bytes(bytes(body))


# What is wrong with the compressed form, and the line the launcher logs
# before it fetches the raw object.
FALLBACKS = [
    ("a damaged frame", "damaged", TEXT, "nao confere em data\\text.txt; sigo pelo objeto"),
    ("the compressed object missing", "no_object", TEXT, "objeto comprimido indisponivel (HTTP 404) em "),
    ("the frame index missing", "no_index", TEXT, "quadros indisponiveis em data\\text.txt; sigo pelo objeto"),
    ("a damaged frame index", "damaged_index", TEXT, "hash nao confere no indice de quadros de data\\text.txt ("),
    ("a damaged single frame", "damaged_one", SMALL, "quadro 0 nao confere em data\\small.txt; sigo pelo objeto"),
    ("a single frame missing", "no_one", SMALL, "objeto comprimido indisponivel (HTTP 404) em "),
]


@pytest.mark.parametrize("name, fault, path, line", FALLBACKS, ids=[f[0] for f in FALLBACKS])
def test_a_compressed_form_that_fails_falls_back_to_the_raw_object(game, release, nginx, name, fault, path, line):
    compressible_release(game, release, nginx)
    index, packed = frame_index(release.served)
    small_packed = one_frame(release.served)
    if fault == "damaged":
        damage(release.served / "objetos" / packed)
    if fault == "no_object":
        (release.served / "objetos" / packed).unlink()
    if fault == "no_index":
        (release.served / "objetos" / index).unlink()
    if fault == "damaged_index":
        damage(release.served / "objetos" / index)
    if fault == "damaged_one":
        damage(release.served / "objetos" / small_packed)
    if fault == "no_one":
        (release.served / "objetos" / small_packed).unlink()

    assert game.run() == 0
    data = release.root.joinpath(*path.split("\\")).read_bytes()
    assert game.read(path.replace("\\", "/")) == data
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.quadros*"))
    messages = messages_after_start(game)
    assert sum(line in m for m in messages) == 1, messages
    assert not any(m.startswith("baixado comprimido: " + path) for m in messages)
    raw = asked_for(nginx.requests(), hashlib.sha256(data).hexdigest())
    assert raw, "the raw object is asked"
    if fault == "damaged":
        assert raw[0]["range"].startswith("bytes="), "the frames before the damaged one are kept"
        assert any(m.startswith(f"retomando {TEXT} a partir de ") for m in messages), messages
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def test_a_cut_compressed_transfer_resumes_at_a_frame(game, release, fault_server):
    data = compressible_release(game, release, fault_server)
    _, packed = frame_index(release.served)
    fault_server.faults["/objetos/" + packed] = ("cut", 40_000, 1)

    assert game.run() == 0
    assert game.read("data/text.txt") == data
    messages = messages_after_start(game)
    assert any(m.startswith(f"retomando {TEXT} a partir de ") for m in messages), "\n".join(messages)
    assert any(m.startswith("baixado comprimido: " + TEXT) for m in messages), messages
    asked = [ranged for path, ranged in fault_server.ranges if path == "/objetos/" + packed]
    assert asked[0] is None and asked[1].startswith("bytes="), asked
    start = int(asked[1][len("bytes="):].split("-")[0])
    assert 0 < start <= 40_000
    assert not any(path == "/objetos/" + hashlib.sha256(data).hexdigest() for path, _ in fault_server.ranges)


def test_without_raw_objects_the_compressed_road_installs_alone(game, release, nginx):
    data = compressible_release(game, release, nginx, raw_objects=False)
    assert not (release.served / "objetos" / hashlib.sha256(data).hexdigest()).exists()

    assert game.run() == 0
    assert game.read("data/text.txt") == data
    messages = messages_after_start(game)
    assert any(m.startswith("baixado comprimido: " + TEXT) for m in messages), messages
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def test_a_file_of_more_frames_than_an_index_page_holds_reads_its_index_a_page_at_a_time(game, release, nginx):
    base = text(1_000_000, 7)
    big = b"".join(base[at:] + base[:at] for at in range(0, 32 * 4099, 4099))  # 32 MB, a frame a chunk
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data/big.txt", big)
    release.publish("2.0", objects=True, compression={"frame_size": 1})
    game.write("client.exe", STUB_GAME.read_bytes())
    game.configure(nginx.base_url)
    index, packed = frame_index(release.served, "data\\big.txt")
    assert (release.served / "objetos" / index).stat().st_size > 104 + 1024 * 52, "more records than a page"

    assert game.run() == 0
    assert game.read("data/big.txt") == big
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.quadros*"))
    requests = nginx.requests()
    assert len(asked_for(requests, index)) == 1 and len(asked_for(requests, packed)) == 1
    messages = messages_after_start(game)
    assert any(m.startswith("baixado comprimido: data\\big.txt (") for m in messages), messages
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def frames_held(served, index, held):
    """Of a frame index's frames, (decoded bytes, compressed offset) where the first one that held bytes do
    not hold whole begins."""
    body = (served / "objetos" / index).read_bytes()
    decoded = 0
    for at in range(104, len(body), 52):
        offset, _, length, _ = struct.unpack_from("<QIII", body, at)
        if decoded + length > held:
            return decoded, offset
        decoded += length
    raise AssertionError("the held bytes hold every frame")


# What an earlier run left in the temporary file, and what the launcher does with it.
HELD = [
    ("the file's first bytes", "own", "the compressed object from the first frame they lack"),
    ("an older release's bytes", "other", "the digest refuses them: the raw object from its first byte"),
]


@pytest.mark.parametrize("name, held, outcome", HELD, ids=[h[0] for h in HELD])
def test_a_compressed_file_goes_on_from_what_an_earlier_run_left(game, release, nginx, name, held, outcome):
    data = compressible_release(game, release, nginx)
    index, packed = frame_index(release.served)
    left = data[:300_000] if held == "own" else bytes(300_000)
    (game.root / "data").mkdir()
    (game.root / "data" / "text.txt.tmp").write_bytes(left)

    assert game.run() == 0
    assert game.read("data/text.txt") == data
    assert not list(game.root.rglob("*.tmp"))
    kept, offset = frames_held(release.served, index, len(left))
    asked = asked_for(nginx.requests(), packed)
    assert [r["range"] for r in asked] == [f"bytes={offset}-"], outcome
    messages = messages_after_start(game)
    assert f"retomando {TEXT} a partir de {offset} bytes" in messages, messages
    raw = asked_for(nginx.requests(), hashlib.sha256(data).hexdigest())
    if held == "own":
        assert 0 < kept <= 300_000 and not raw
        assert (f"baixado comprimido: {TEXT} ({sum(int(r['bytes']) for r in asked)} bytes recebidos, {len(data)} "
                "gravados)") in messages, messages
    else:
        assert any(m.startswith(f"hash nao confere em {TEXT} (") for m in messages), messages
        assert [r["range"] for r in raw] == ["-"], "the raw object whole"
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]
