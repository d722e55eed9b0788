"""A full disk end to end, the game folder on a small volume of its own: a
release that does not fit fetches nothing, a disk that fills during a transfer
keeps the installed files and leaves no temporary file, and both tell the
player which disk, not the connection; with room again the next start
completes."""
import re
import time

from conftest import STUB_GAME, GameFolder, dismiss_message_box, pattern, windows_path
from test_update import GAME_STARTED, messages_after_start

MB = 1 << 20


def game_on(disk):
    (disk.root / "game").mkdir()
    game = GameFolder(disk.root / "game")
    game.write("client.exe", STUB_GAME.read_bytes())
    return game


def failure_text(game):
    """The failure text as the log holds it (it spans lines)."""
    log = game.log()
    start = log.rindex("FALHA: ")
    return log[start + len("FALHA: "):log.index("\r\n[", start)]


def test_a_release_that_does_not_fit_fetches_nothing_and_says_so(small_disk, release, fault_server):
    game = game_on(small_disk)
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", pattern(5 * MB))
    release.publish("2.0")
    game.configure(fault_server.base_url)

    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert game.game_record(wait=1.0) is None
    assert [path for path, _ in fault_server.requests] == ["/manifesto.txt"]
    disk = windows_path(small_disk.root)
    messages = messages_after_start(game)
    assert any(re.fullmatch(re.escape(f"espaco em disco insuficiente em {disk}") + r"\\?: livres 1 MB, necessarios 5 MB",
                            m) for m in messages), messages
    text = failure_text(game)
    assert re.fullmatch(r"Not enough disk space: 4 MB more are needed in " + re.escape(disk) + r"\\?\.\r\n\r\n"
                        r"The game will NOT start: it would differ from the server\.\r\n\r\nDetails in launcher\.log\.",
                        text), text
    assert not game.path("data/a.pak").exists() and not list(game.root.rglob("*.tmp"))

    small_disk.resize(12)
    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert messages_after_start(game)[-2:] == ["Updated to version 2.0.", GAME_STARTED]


def test_files_fetched_at_once_are_counted_together(small_disk, release, fault_server):
    """Each of two changed packs fits beside its old copy alone, not both at once, as they are fetched."""
    small_disk.resize(10)
    game = game_on(small_disk)
    old = [game.write(f"data/{name}.pak", pattern(3 * MB, seed=1 + i)).read_bytes() for i, name in enumerate("ab")]
    release.add("client.exe", STUB_GAME.read_bytes())
    for i, name in enumerate("ab"):
        release.add(f"data\\{name}.pak", pattern(3 * MB, seed=5 + i))
    release.publish("2.0")
    game.configure(fault_server.base_url, "CONEXOES 2\r\n")
    assert 3 * MB < small_disk.free() < 6 * MB

    assert game.run_through_message_box("Quorvane - Updater") == 0
    assert [path for path, _ in fault_server.requests] == ["/manifesto.txt"]
    messages = messages_after_start(game)
    assert any(m.startswith("espaco em disco insuficiente em ") and m.endswith(", necessarios 6 MB")
               for m in messages), messages
    assert [game.read(f"data/{name}.pak") for name in "ab"] == old


def test_a_disk_that_fills_during_a_transfer_keeps_the_installed_files_and_names_the_disk(small_disk, release,
                                                                                           fault_server):
    small_disk.resize(8)
    game = game_on(small_disk)
    installed = game.write("data/a.pak", pattern(1 * MB)).read_bytes()
    release.add("client.exe", STUB_GAME.read_bytes())
    pack = release.add("data\\a.pak", pattern(3 * MB, seed=2))
    release.publish("2.0")
    fault_server.faults["/data/a.pak"] = ("slow", 6.0)
    game.configure(fault_server.base_url)

    process = game.start()
    deadline = time.monotonic() + 30
    while "/data/a.pak" not in [path for path, _ in fault_server.requests] and time.monotonic() < deadline:
        time.sleep(0.05)
    filler = small_disk.root / "filler.bin"  # another program takes the room the check found
    filler.write_bytes(b"\0" * (small_disk.free() - MB // 2))
    try:
        dismiss_message_box("Quorvane - Updater")
        assert process.wait(timeout=30) == 0
    finally:
        if process.poll() is None:
            process.kill()
    assert game.game_record(wait=1.0) is None
    assert game.read("data/a.pak") == installed
    assert not list(game.root.rglob("*.tmp"))
    messages = messages_after_start(game)
    assert "nao consegui gravar data\\a.pak.tmp (112)" in messages, messages
    assert "falhou: data\\a.pak" in messages
    disk = windows_path(small_disk.root)
    text = failure_text(game)
    assert re.fullmatch(r"1 file\(s\) could not be updated\.\r\n\r\nThe game will NOT start: it would differ from the "
                        r"server\.\r\nThere is not enough room on " + re.escape(disk) + r"\\?: free some space and try "
                        r"again\.\r\n\r\nDetails in launcher\.log\.", text), text

    filler.unlink()
    assert game.run() == 0
    assert game.read("data/a.pak") == pack
    assert messages_after_start(game)[-2:] == ["Updated to version 2.0.", GAME_STARTED]
