"""Signed manifests end to end: a launcher built with a test key against
releases signed by the publishing tool (OpenSSL's signatures), and what it
does with a manifest that was changed, replayed or left to expire."""
import datetime

from conftest import (LAUNCHER, LAUNCHER_NEXT, LAUNCHER_SIGNED, STUB_GAME, TEST_SIGNING_KEY, GameFolder,
                      forget_serial_floors, pattern)
from publish_release import load_private_key, manifest_text, sha256_of, signed_text
from test_update import GAME_STARTED, messages_after_start

SIGN = {"sign": [str(TEST_SIGNING_KEY)]}
REFUSED = "Could not check for updates; starting the game anyway."


def signed_game(tmp_path, release, nginx):
    """A game folder whose launcher checks signatures, and a release that lists that launcher."""
    (tmp_path / "game").mkdir()
    forget_serial_floors()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SIGNED)
    release.add("launcher.exe", LAUNCHER_SIGNED.read_bytes())
    release.add("client.exe", STUB_GAME.read_bytes())
    game.configure(nginx.base_url)
    return game


def run_refused(game, nginx, reason):
    """One run that must fetch nothing past the manifest and still start the game."""
    game.path("stub_game_record.txt").unlink(missing_ok=True)
    asked = len(nginx.requests())
    assert game.run() == 0
    assert game.game_record() is not None
    assert [r["request"] for r in nginx.requests()[asked:]] == ["GET /manifesto.txt HTTP/1.1"]
    asked = f"manifesto pedido: {nginx.base_url}manifesto.txt"
    assert messages_after_start(game)[-5:] == ["Checking for updates...", asked, reason, REFUSED, GAME_STARTED]


def test_signed_releases_update_and_a_changed_replayed_or_expired_manifest_is_refused(tmp_path, release, nginx):
    game = signed_game(tmp_path, release, nginx)
    release.add("data\\a.pak", pattern(50_000))
    release.publish("1.0", objects=True, **SIGN)  # its OBJETOS line is signed with the rest
    first_manifest = (release.served / "manifesto.txt").read_bytes()

    assert game.run() == 0
    assert game.read("data/a.pak") == pattern(50_000)
    assert game.read("launcher.serie") == b"1\r\n"
    assert game.game_record() is not None

    # Someone on the path serves their own launcher under the old signature.
    evil = LAUNCHER_NEXT.read_bytes()
    (release.served / "launcher.exe").write_bytes(evil)
    tampered = first_manifest.replace(sha256_of(LAUNCHER_SIGNED).encode(), sha256_of(release.served / "launcher.exe").encode())
    assert tampered != first_manifest
    (release.served / "manifesto.txt").write_bytes(tampered)
    run_refused(game, nginx, "manifesto sem assinatura valida: manifesto.txt")
    assert game.read("launcher.exe") == LAUNCHER_SIGNED.read_bytes()
    (release.served / "launcher.exe").write_bytes(LAUNCHER_SIGNED.read_bytes())

    # A newer release, then the older one replayed.
    release.add("data\\a.pak", pattern(50_000, seed=4))
    release.publish("1.1", objects=True, **SIGN)
    assert game.run() == 0
    assert game.read("data/a.pak") == pattern(50_000, seed=4)
    assert game.read("launcher.serie") == b"2\r\n"
    (release.served / "manifesto.txt").write_bytes(first_manifest)
    run_refused(game, nginx, "manifesto mais antigo que o aceito: serie 1 < 2")
    assert game.read("data/a.pak") == pattern(50_000, seed=4)

    # A release whose last day was yesterday.
    yesterday = datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=1)
    entries = [("client.exe", sha256_of(STUB_GAME), STUB_GAME.stat().st_size)]
    expired = signed_text(manifest_text("1.2", entries), [load_private_key(TEST_SIGNING_KEY)], 3, yesterday,
                          name="manifesto.txt")
    (release.served / "manifesto.txt").write_bytes(expired)
    run_refused(game, nginx, f"manifesto expirado em {yesterday.isoformat()}")
    assert game.read("launcher.serie") == b"2\r\n"


def test_a_build_without_keys_takes_a_signed_manifest_as_an_unsigned_one(game, release, nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\a.pak", pattern(20_000))
    release.publish("1.0", **SIGN)
    game.configure(nginx.base_url)

    assert game.run() == 0
    assert game.read("data/a.pak") == pattern(20_000)
    assert game.game_record() is not None
    assert messages_after_start(game)[-2:] == ["Updated to version 1.0.", GAME_STARTED]
    assert not game.path("launcher.serie").exists()
    assert game.read("launcher.exe") == LAUNCHER.read_bytes()
