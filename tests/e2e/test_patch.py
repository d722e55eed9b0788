"""Patch-sized updates end to end: a changed pack is rebuilt from the
player's old copy with single ranges of its object, and every way that could
go wrong falls back to the whole file, which the game still gets."""
import hashlib
import random
import re

import pytest

from conftest import STUB_GAME, pattern
from test_compressed import asked_for, frame_index, text
from test_transfers import hold
from test_update import GAME_STARTED, messages_after_start

PACK = "data\\pack.pak"


def packs(seed=3):
    """A 2 MB pack and its next release: 40 KB inserted, 30 KB replaced, 20 KB removed."""
    rng = random.Random(seed)
    old = rng.randbytes(2 << 20)
    new = old[:600_000] + rng.randbytes(40_000) + old[600_000:1_200_000] + rng.randbytes(30_000) + \
        old[1_230_000:1_700_000] + old[1_720_000:]
    return old, new


def patched_release(game, release, server, old, new, **publishing):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add(PACK, new)
    release.publish("2.0", objects=True, **publishing)
    game.write("client.exe", STUB_GAME.read_bytes())
    game.write("data/pack.pak", old)
    game.configure(server.base_url)


def pack_object(new):
    return "/objetos/" + hashlib.sha256(new).hexdigest()


def test_a_changed_pack_is_rebuilt_from_the_old_copy_with_ranges_of_its_object(game, release, nginx):
    old, new = packs()
    patched_release(game, release, nginx, old, new)

    assert game.run() == 0
    assert game.read("data/pack.pak") == new
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.blocos*"))
    messages = messages_after_start(game)
    patched = [m for m in messages if m.startswith("remendo de data\\pack.pak: ")]
    assert len(patched) == 1 and re.fullmatch(r"remendo de data\\pack\.pak: \d+\.\d (MB|KB) reaproveitados, "
                                               r"\d+\.\d KB baixados, indice de \d+ bytes "
                                               r"\(\d+ bytes recebidos, \d+ gravados\)", patched[0]), messages
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]
    asked = [r for r in nginx.requests() if pack_object(new) in r["request"]]
    assert asked and all(r["status"] == "206" and r["range"].startswith("bytes=") for r in asked)
    assert sum(int(r["bytes"]) for r in asked) < len(new) // 8, "far fewer bytes than the file"
    assert not any("/data/pack.pak" in r["request"] for r in nginx.requests()), "never by path"
    assert frame_index(release.served, PACK) == (None, None), "random bytes get no compressed form"


# What a server (or the old copy) does wrong, the reason the launcher logs, and
# whether it still asks for ranges of the pack's object (a server that ignores
# Range is caught at the records of the pages, before any chunk is asked for).
FALLBACKS = [
    ("a server that ignores Range", "no_ranges", "o servidor nao atende faixas (HTTP 200)", False),
    ("a range answered with other bytes", "wrongrange", "bloco recebido nao confere com o indice", True),
    ("the index missing", "no_index", "indice de blocos indisponivel", False),
    ("an old copy that differs everywhere", "other_old", "o remendo buscaria 20", False),
    ("a file of exactly one chunk", "one_chunk", "o remendo buscaria", False),
]


@pytest.mark.parametrize("name, fault, reason, asks_ranges", FALLBACKS, ids=[f[0] for f in FALLBACKS])
def test_a_patch_that_cannot_be_made_falls_back_to_the_whole_file(game, release, fault_server, name, fault,
                                                                   reason, asks_ranges):
    old, new = packs()
    if fault == "one_chunk":
        old, new = pattern(6000), pattern(6000, seed=2)
    if fault == "other_old":
        old = random.Random(9).randbytes(len(old))
    patched_release(game, release, fault_server, old, new, min_chunked_size=1)
    fault_server.no_ranges = fault == "no_ranges"
    if fault == "wrongrange":
        fault_server.faults[pack_object(new)] = ("wrongrange",)
    if fault == "no_index":
        index = next(line.split()[1] for line in (release.served / "manifesto.txt").read_text().splitlines()
                     if line.startswith("BLOCOS") and line.endswith(PACK))
        (release.served / "objetos" / index).unlink()

    assert game.run() == 0
    assert game.read("data/pack.pak") == new
    messages = messages_after_start(game)
    assert any(m.startswith("sem remendo para data\\pack.pak (" + reason) for m in messages), messages
    assert messages[-2:] == ["Updated to version 2.0.", GAME_STARTED]
    ranged = [asked for path, asked in fault_server.ranges if path == pack_object(new) and asked]
    assert bool(ranged) == asks_ranges, ranged
    assert not list(game.root.rglob("*.blocos*"))


def test_a_patch_cut_short_is_resumed_at_the_next_start(game, release, fault_server):
    old, new = packs()
    patched_release(game, release, fault_server, old, new)
    fault_server.faults[pack_object(new)] = ("cut", 8000, 1000)  # every answer breaks off

    assert game.run_through_message_box("Quorvane - Updater") == 0
    held = game.read("data/pack.pak.tmp")
    assert 0 < len(held) < len(new) and new.startswith(held)
    assert game.read("data/pack.pak") == old

    del fault_server.faults[pack_object(new)]
    asked_before = len(fault_server.ranges)
    assert game.run() == 0
    assert game.read("data/pack.pak") == new
    messages = messages_after_start(game)
    assert any(m.startswith("retomando o remendo de data\\pack.pak a partir de ") for m in messages), messages
    assert any(m.startswith("remendo de data\\pack.pak: ") for m in messages)
    first = [asked for path, asked in fault_server.ranges[asked_before:] if path == pack_object(new)][0]
    assert int(first[len("bytes="):].split("-")[0]) >= 600_000 - 70_000, "the checked start was kept"


def test_a_patched_file_whose_old_copy_is_held_fails_like_any_held_file(game, release, fault_server):
    """A game left running shares reads of its pack: the patch is rebuilt and
    checked, and only its rename fails; fetching the whole file would fail the same way."""
    old, new = packs()
    patched_release(game, release, fault_server, old, new)
    holder = hold(game.path("data/pack.pak"), 25.0, share_reads=True)
    try:
        assert game.run_through_message_box("Quorvane - Updater") == 0
    finally:
        holder.wait(timeout=40)
    assert game.read("data/pack.pak") == old
    assert game.game_record(wait=1.0) is None
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.blocos*"))
    asked = [range_ for path, range_ in fault_server.ranges if path == pack_object(new)]
    assert asked and all(asked), "every request for the pack's object asked for a range"
    assert len(asked) == len(set(asked)), "each range was fetched once"
    assert not any(path == "/data/pack.pak" for path, _ in fault_server.ranges), "never the whole file by path"
    messages = messages_after_start(game)
    assert any(m.startswith("nao consegui renomear data\\pack.pak.tmp para data\\pack.pak (") for m in messages), messages
    assert not any(m.startswith("sem remendo para data\\pack.pak") for m in messages), messages
    assert "falhou: data\\pack.pak" in messages
    assert messages[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto"


def compressible_packs():
    """A 1.2 MB pack of text and its next release: 40 KB of new text inserted, 30 KB replaced."""
    old = text(1_200_000)
    new = old[:300_000] + text(40_000, seed=8) + old[300_000:800_000] + text(30_000, seed=9) + old[830_000:]
    return old, new


def patch_figures(messages):
    """(bytes received, bytes written) of the pack's patch line."""
    line = next(m for m in messages if m.startswith("remendo de data\\pack.pak: "))
    received, written = re.search(r"\((\d+) bytes recebidos, (\d+) gravados\)$", line).groups()
    return int(received), int(written)


def test_a_compressible_pack_is_patched_from_ranges_of_its_compressed_object(game, release, nginx):
    old, new = compressible_packs()
    patched_release(game, release, nginx, old, new)
    index, packed = frame_index(release.served, PACK)

    assert game.run() == 0
    assert game.read("data/pack.pak") == new
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.quadros*"))
    requests = nginx.requests()
    frames = asked_for(requests, packed)
    assert asked_for(requests, index) and frames
    assert all(r["status"] == "206" and r["range"].startswith("bytes=") for r in frames), frames
    assert not asked_for(requests, hashlib.sha256(new).hexdigest()), "no range of the raw object"
    received, written = patch_figures(messages_after_start(game))
    assert written >= 70_000 and sum(int(r["bytes"]) for r in frames) < written, (received, written)


# What is wrong with the pack's compressed form, and the line the launcher logs
# before it takes the rest of the pack's chunks from ranges of the raw object.
FRAME_FALLBACKS = [
    ("a damaged frame", "damaged", "nao confere em data\\pack.pak; remendo por faixas do objeto"),
    ("the compressed object missing", "no_object", "objeto comprimido indisponivel (HTTP 404) em data\\pack.pak; "),
    ("the frame index missing", "no_index", "quadros indisponiveis em data\\pack.pak; remendo por faixas do objeto"),
]


@pytest.mark.parametrize("name, fault, line", FRAME_FALLBACKS, ids=[f[0] for f in FRAME_FALLBACKS])
def test_frames_that_fail_leave_the_patch_to_ranges_of_the_raw_object(game, release, nginx, name, fault, line):
    old, new = compressible_packs()
    patched_release(game, release, nginx, old, new)
    index, packed = frame_index(release.served, PACK)
    served = release.served / "objetos" / packed
    if fault == "damaged":  # every frame: whichever the patch asks for first does not match
        body = bytearray(served.read_bytes())
        for at in range(0, len(body), 4096):
            body[at] ^= 0x55
        served.unlink()
        served.write_bytes(bytes(body))
    if fault == "no_object":
        served.unlink()
    if fault == "no_index":
        (release.served / "objetos" / index).unlink()

    assert game.run() == 0
    assert game.read("data/pack.pak") == new
    messages = messages_after_start(game)
    assert sum(line in m for m in messages) == 1, messages
    assert any(m.startswith("remendo de data\\pack.pak: ") for m in messages), messages
    raw = asked_for(nginx.requests(), hashlib.sha256(new).hexdigest())
    assert raw and all(r["status"] == "206" and r["range"].startswith("bytes=") for r in raw), raw
    assert not list(game.root.rglob("*.tmp")) and not list(game.root.rglob("*.quadros*"))
