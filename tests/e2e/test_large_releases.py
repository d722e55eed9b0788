"""Releases beyond what launchers of earlier builds read (4 096 entries,
32-bit sizes), end to end: thousands of files installed and updated, a pack
of 5 GB fetched, resumed, checked and patched beyond 4 GiB, and an installed
launcher of today's build that reaches such a release safely, replacing
itself first, or blocking the game when it cannot; and a launcher from
before compressed forms that installs and patches their publication from the
raw objects. Run by CTest apart from the other end-to-end tests, with a
time-out of their own."""
import hashlib
import shutil

import pytest

from conftest import BUILD_DIR, LAUNCHER, STUB_GAME, GameFolder
from publish_release import publish
from test_compressed import asked_for, frame_index, text
from test_update import GAME_STARTED, messages_after_start, wait_for

# Launchers built from the repository's history (tests/CMakeLists.txt): today's, and one from
# before compressed forms.
OLD_LAUNCHER = BUILD_DIR / "tests" / "launcher_old" / "launcher_old.exe"
BEFORE_FRAMES = BUILD_DIR / "tests" / "launcher_before_frames" / "launcher_before_frames.exe"
MANY = 5000
BLOCKED = "Quorvane - Updater"
BIG = 5_000_000_000  # bytes: past 4 GiB (4 294 967 296)
GIB4 = 1 << 32


def add_many_files(release, count, version=1):
    """Small files in folders of 500, each naming itself and the version it belongs to."""
    for i in range(count):
        release.add(f"data\\{i // 500:02}\\f{i:05}.bin", f"file {i} of version {version}\n".encode())


def differences(game, release):
    """The release's files that the game folder does not hold byte for byte."""
    return [str(path.relative_to(release.root)) for path in release.root.rglob("*") if path.is_file() and
            (not game.path(str(path.relative_to(release.root))).is_file() or
             game.read(str(path.relative_to(release.root))) != path.read_bytes())]


def sparse_pack(path, marks):
    """A pack of BIG bytes, holes but for the marks written at their offsets."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as pack:
        pack.truncate(BIG)
        for offset, data in marks:
            pack.seek(offset)
            pack.write(data)


def sha256_of(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


@pytest.fixture
def old_game(tmp_path):
    root = tmp_path / "game"
    root.mkdir()
    return GameFolder(root, launcher=OLD_LAUNCHER)


def test_todays_launcher_replaces_itself_first_and_the_new_one_installs_and_updates_5000_files(
        old_game, release, nginx):
    release.add("launcher.exe", LAUNCHER.read_bytes())
    release.add("client.exe", STUB_GAME.read_bytes())
    add_many_files(release, MANY - 2)
    release.publish("5.0", objects=True)
    old_game.configure(nginx.base_url)

    assert old_game.run() == 0  # today's launcher ends once the new one is started
    assert old_game.read("launcher.exe") == LAUNCHER.read_bytes()
    assert wait_for(lambda: old_game.log_messages()[-2:] == ["Updated to version 5.0.", GAME_STARTED], timeout=400)
    messages = old_game.log_messages()
    # Today's launcher read 4 096 entries, the limits line among them, and replaced itself before any check.
    replaced_at = messages.index("Updating the updater itself...")
    assert messages[replaced_at - 1] == "manifesto lido: versao '5.0', 4096 arquivo(s)"
    assert "Checking game files..." not in messages[:replaced_at + 1]
    assert messages_after_start(old_game)[:3] == ["Checking for updates...",
                                                  f"manifesto pedido: {nginx.base_url}manifesto.txt",
                                                  f"manifesto lido: versao '5.0', {MANY} arquivo(s)"]
    assert f"{MANY - 1} arquivo(s) para baixar" in messages_after_start(old_game)
    assert differences(old_game, release) == []

    # The next release changes three files: only they are fetched.
    for i in (0, 2500, MANY - 3):
        release.add(f"data\\{i // 500:02}\\f{i:05}.bin", f"file {i} of version 2\n".encode())
    release.publish("5.1", objects=True)
    old_game.path("stub_game_record.txt").unlink()
    assert old_game.run(timeout=120) == 0
    run = messages_after_start(old_game)
    assert "3 arquivo(s) para baixar" in run and run[-2:] == ["Updated to version 5.1.", GAME_STARTED]
    assert differences(old_game, release) == []


def test_a_5_gb_pack_is_fetched_resumed_past_4_gib_and_patched_past_4_gib_after_todays_launcher_replaced_itself(
        old_game, release, fault_server):
    """One run of each: the big file's tests keep within the suite's time (sparse files on the server)."""
    release.add("launcher.exe", LAUNCHER.read_bytes())
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.root / "data" / "big.pak"
    marks = [(0, b"head"), (GIB4 + 12345, b"past four gigabytes"), (BIG - 4, b"tail")]
    sparse_pack(pack, marks)
    release.publish("6.0", objects=True)
    first_digest = sha256_of(pack)
    cut_at = GIB4 + (300 << 20)
    fault_server.faults[f"/objetos/{first_digest}"] = ("cut", cut_at, 1)
    _, packed = frame_index(release.served, "data\\big.pak")
    if packed:
        fault_server.faults[f"/objetos/{packed}"] = ("404",)  # the raw object is the one cut past 4 GiB
    old_game.configure(fault_server.base_url)

    assert old_game.run() == 0  # today's launcher skips the 64-bit line and replaces itself first
    assert old_game.read("launcher.exe") == LAUNCHER.read_bytes()
    assert wait_for(lambda: old_game.log_messages()[-2:] == ["Updated to version 6.0.", GAME_STARTED], timeout=600)
    replaced_at = old_game.log_messages().index("Updating the updater itself...")
    assert "Checking game files..." not in old_game.log_messages()[:replaced_at]
    messages = messages_after_start(old_game)
    assert f"retomando data\\big.pak a partir de {cut_at} bytes" in messages
    assert [r for p, r in fault_server.ranges if p == f"/objetos/{first_digest}"] == [None, f"bytes={cut_at}-"]
    assert old_game.path("data/big.pak").stat().st_size == BIG
    assert sha256_of(old_game.path("data/big.pak")) == first_digest

    # The next release changes bytes past 4 GiB: rebuilt from the old copy, asking only past there.
    sparse_pack(pack, marks[:1] + [(GIB4 + 12345, b"changed past four GB")] + marks[2:])
    release.publish("6.1", objects=True)
    second_digest = sha256_of(pack)
    old_game.path("stub_game_record.txt").unlink()
    assert old_game.run(timeout=600) == 0
    run = messages_after_start(old_game)
    assert any(m.startswith("remendo de data\\big.pak: ") for m in run), run
    asked = [r for p, r in fault_server.ranges if p == f"/objetos/{second_digest}"]
    assert asked and all(int(r.removeprefix("bytes=").split("-")[0]) >= GIB4 for r in asked), asked
    assert run[-2:] == ["Updated to version 6.1.", GAME_STARTED]
    assert sha256_of(old_game.path("data/big.pak")) == second_digest
    assert not list(old_game.root.rglob("*.tmp"))


def test_todays_launcher_that_cannot_replace_itself_blocks_the_game(old_game, release, nginx):
    """The limits line keeps it from starting the game with the files it dropped unchecked."""
    release.add("launcher.exe", LAUNCHER.read_bytes())
    release.add("client.exe", STUB_GAME.read_bytes())
    add_many_files(release, 4096)
    release.publish("5.0")
    (release.served / "launcher.exe").unlink()  # the new launcher cannot be had
    for path in release.root.rglob("*"):  # every file but the launcher is current already
        if path.is_file() and path.name != "launcher.exe":
            old_game.write(str(path.relative_to(release.root)), path.read_bytes())
    old_game.path(f"data/08/f{4095:05}.bin").unlink()  # one beyond the 4 096 it reads: never seen
    old_game.configure(nginx.base_url)

    assert old_game.run_through_message_box(BLOCKED, timeout=120) == 0
    assert old_game.game_record(wait=1.0) is None
    assert old_game.read("launcher.exe") == OLD_LAUNCHER.read_bytes()
    messages = messages_after_start(old_game)
    assert "nao consegui baixar a versao nova do atualizador; sigo com a atual" in messages
    assert any(m.startswith("caminho inseguro recusado: 32 exige um atualizador que leia 4098 arquivos") for m in messages)
    assert messages[-1] == "BLOQUEADO: 1 arquivo(s) falharam, jogo nao foi aberto"


def test_the_publisher_refuses_a_release_beyond_the_old_limits_with_todays_launcher(tmp_path):
    release = tmp_path / "release"
    (release / "data").mkdir(parents=True)
    shutil.copy(OLD_LAUNCHER, release / "launcher.exe")
    for i in range(4096):
        (release / "data" / f"f{i:05}.bin").write_bytes(b"")
    with pytest.raises(SystemExit) as refused:
        publish(release, tmp_path / "served", "1", no_config=True)
    assert ("the release lists 4097 files, and its launcher.exe reads at most 4096 files of 32-bit sizes"
            in str(refused.value))
    assert not (tmp_path / "served").exists()



def test_a_launcher_from_before_compressed_forms_installs_and_patches_their_publication_from_the_raw_objects(
        tmp_path, release, nginx):
    """QUADROS lines after ARQUIVO and BLOCOS lines: passed over, the raw objects and chunks fetched."""
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=BEFORE_FRAMES)
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data/text.txt", text())
    pack = release.add("data/pack.txt", text(2_000_000, seed=6))  # chunked: a BLOCOS line too
    release.publish("2.0", objects=True)
    forms = [frame_index(release.served, path) for path in ("data\\text.txt", "data\\pack.txt")]
    assert all(index and packed for index, packed in forms)
    game.write("client.exe", STUB_GAME.read_bytes())
    game.configure(nginx.base_url)

    assert game.run() == 0
    assert messages_after_start(game)[-2:] == ["Updated to version 2.0.", GAME_STARTED]
    assert differences(game, release) == []
    requests = nginx.requests()
    assert all(not asked_for(requests, index) and not asked_for(requests, packed) for index, packed in forms)
    assert asked_for(requests, hashlib.sha256(pack).hexdigest())

    # The next release changes the pack's middle: patched from the raw object's chunks.
    changed = release.add("data/pack.txt", pack[:1_000_000] + b"changed in 2.1 " + pack[1_000_000:])
    release.publish("2.1", objects=True)
    seen = len(nginx.requests())
    game.path("stub_game_record.txt").unlink()
    assert game.run() == 0
    run = messages_after_start(game)
    assert any(m.startswith("remendo de data\\pack.txt: ") for m in run), run
    assert run[-2:] == ["Updated to version 2.1.", GAME_STARTED]
    assert differences(game, release) == []
    _, packed = frame_index(release.served, "data\\pack.txt")
    assert not asked_for(nginx.requests()[seen:], packed)
    assert asked_for(nginx.requests()[seen:], hashlib.sha256(changed).hexdigest())
