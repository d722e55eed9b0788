"""What a release stops listing leaves the player's folder where it is byte for
byte what the studio shipped; the manifest asked again with its validator gets
a 304 from nginx when it did not change; the run log stays bounded."""
import datetime
import hashlib
import urllib.request

from conftest import STUB_GAME, TEST_SIGNING_KEY, pattern
from publish_release import load_private_key, manifest_text, sha256_of, signed_text
from test_signed_manifest import SIGN, run_refused, signed_game
from test_transfers import hold
from test_update import GAME_STARTED, messages_after_start

NOT_MODIFIED = "manifesto nao mudou no servidor (304): uso a copia aceita"


def statuses(nginx, path="/manifesto.txt"):
    return [r["status"] for r in nginx.requests() if r["request"] == f"GET {path} HTTP/1.1"]


def test_files_a_release_drops_go_unless_changed_or_listed_again(game, release, nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    first_a = release.add("data\\a.pak", pattern(30_000))
    release.add("data\\b.pak", pattern(20_000, seed=2))
    release.add("data\\c.pak", pattern(10_000, seed=3))
    release.publish("1")
    game.configure(nginx.base_url)
    game.write("mods/mine.pak", b"the player's own")
    assert game.run() == 0

    (release.root / "data" / "a.pak").unlink()
    release.publish("2")
    assert game.run() == 0
    assert not game.path("data/a.pak").exists()
    assert "removido: data\\a.pak" in messages_after_start(game)

    game.write("data/c.pak", b"changed by the player")
    (release.root / "data" / "b.pak").unlink()
    (release.root / "data" / "c.pak").unlink()
    release.publish("3")
    assert game.run() == 0
    assert not game.path("data/b.pak").exists()
    assert game.read("data/c.pak") == b"changed by the player"
    assert game.read("mods/mine.pak") == b"the player's own"
    assert "mantido: data\\c.pak foi removido do lancamento, mas difere do que foi publicado" in game.log_messages()

    # Listed again, and named by a removal line too (in another spelling): fetched, never deleted.
    again = release.add("data\\a.pak", pattern(30_000, seed=5))
    release.publish("4")
    manifest = release.served / "manifesto.txt"
    manifest.write_bytes(manifest.read_bytes() + f"REMOVIDO {sha256_of(release.root / 'data' / 'a.pak')} "
                         f"DATA/A.PAK\r\nREMOVIDO {hashlib.sha256(first_a).hexdigest()} data\\a.pak\r\n".encode())
    assert game.run() == 0
    assert game.read("data/a.pak") == again
    assert game.game_record() is not None


def test_removal_lines_outside_the_folder_on_a_device_or_on_the_launchers_files_delete_nothing(tmp_path, game, release,
                                                                                               nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.publish("1")
    game.configure(nginx.base_url)
    outside = tmp_path / "outside.txt"
    outside.write_bytes(b"not the game's")
    digest = hashlib.sha256(b"not the game's").hexdigest()
    config_digest = sha256_of(game.path("launcher.cfg"))
    lines = [f"REMOVIDO {digest} ..\\outside.txt", f"REMOVIDO {digest} {tmp_path}\\outside.txt".replace("/", "\\"),
             f"REMOVIDO {digest} Z:{tmp_path}/outside.txt", f"REMOVIDO {digest} CON",
             f"REMOVIDO {config_digest} launcher.cfg", "REMOVIDO not-a-digest data\\x.pak"]
    manifest = release.served / "manifesto.txt"
    manifest.write_bytes(manifest.read_bytes() + "".join(line + "\r\n" for line in lines).encode())

    assert game.run() == 0
    assert game.game_record() is not None
    assert outside.read_bytes() == b"not the game's"
    assert game.path("launcher.cfg").exists()
    messages = messages_after_start(game)
    assert "remocao recusada, caminho inseguro: ..\\outside.txt" in messages
    assert "remocao recusada, caminho inseguro: CON" in messages
    assert "remocao recusada, arquivo do atualizador: launcher.cfg" in messages
    assert "1 linha(s) REMOVIDO ignorada(s)" in messages
    assert not [m for m in messages if m.startswith("removido")]


def test_a_held_removed_file_is_left_and_the_game_starts(game, release, nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\old.pak", pattern(10_000))
    release.publish("1")
    game.configure(nginx.base_url)
    assert game.run() == 0
    (release.root / "data" / "old.pak").unlink()
    release.publish("2")

    holder = hold(game.path("data/old.pak"), 12, share_reads=True)  # the game left running
    game.path("stub_game_record.txt").unlink()
    assert game.run() == 0
    holder.wait()
    assert game.read("data/old.pak") == pattern(10_000)
    assert game.game_record() is not None
    assert any(m.startswith("nao consegui remover data\\old.pak (") and m.endswith("): fica para a proxima vez")
               for m in messages_after_start(game))

    game.path("stub_game_record.txt").unlink()
    assert game.run() == 0  # the next start finds it free
    assert not game.path("data/old.pak").exists()


def test_an_unchanged_manifest_is_answered_304_and_a_changed_one_comes_whole(game, release, nginx):
    release.add("client.exe", STUB_GAME.read_bytes())
    release.add("data\\a.pak", pattern(20_000))
    release.publish("1")
    game.configure(nginx.base_url)
    assert game.run() == 0
    assert game.path("manifesto.txt.validador").exists()

    game.path("stub_game_record.txt").unlink()
    assert game.run() == 0
    assert game.game_record() is not None
    assert statuses(nginx) == ["200", "304"]
    assert [r["bytes"] for r in nginx.requests()][-1] == "0"
    messages = messages_after_start(game)
    assert NOT_MODIFIED in messages and "The game is up to date." in messages and messages[-1] == GAME_STARTED

    release.add("data\\a.pak", pattern(20_000, seed=7))
    release.publish("2")
    assert game.run() == 0
    assert statuses(nginx) == ["200", "304", "200"]
    assert game.read("data/a.pak") == pattern(20_000, seed=7)
    assert game.read("manifesto.txt") == (release.served / "manifesto.txt").read_bytes()

    # A local copy changed since it was accepted is not trusted on a 304: the whole list is asked for.
    game.write("manifesto.txt", game.read("manifesto.txt") + b"ARQUIVO " + b"0" * 64 + b" 1 planted.txt\r\n")
    assert game.run() == 0
    assert statuses(nginx) == ["200", "304", "200", "200"]
    assert "manifesto.txt mudou desde que foi aceito: peco o manifesto inteiro" in messages_after_start(game)


def test_an_expired_signed_manifest_is_refused_also_when_the_server_answers_304(tmp_path, release, nginx):
    game = signed_game(tmp_path, release, nginx)
    release.publish("1.0", **SIGN)
    assert game.run() == 0

    # Time has passed: the manifest held and served is past its EXPIRA, and the server says it did not change.
    yesterday = datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=1)
    entries = [("client.exe", sha256_of(STUB_GAME), STUB_GAME.stat().st_size)]
    expired = signed_text(manifest_text("1.1", entries), [load_private_key(TEST_SIGNING_KEY)], 2, yesterday,
                          name="manifesto.txt")
    (release.served / "manifesto.txt").write_bytes(expired)
    game.write("manifesto.txt", expired)
    headers = urllib.request.urlopen(nginx.base_url + "manifesto.txt").headers
    game.write("manifesto.txt.validador", f"ETag: {headers['ETag']}\nLast-Modified: {headers['Last-Modified']}\n"
               f"SHA256: {hashlib.sha256(expired).hexdigest()}\n")
    asked = len(nginx.requests())

    game.path("stub_game_record.txt").unlink()
    game.path("launcher.log").unlink()
    assert game.run() == 0
    assert game.game_record() is not None
    assert [r["status"] for r in nginx.requests()[asked:]] == ["304"]
    messages = messages_after_start(game)
    assert NOT_MODIFIED in messages and f"manifesto expirado em {yesterday.isoformat()}" in messages
    assert not game.path("manifesto.txt.validador").exists()  # the next start asks for the whole list
    run_refused(game, nginx, f"manifesto expirado em {yesterday.isoformat()}")
    assert statuses(nginx)[-1] == "200"


def test_a_log_over_1_mb_becomes_launcher_log_1_at_the_start_of_a_run(game):
    old = "".join(f"[01/01 00:00:00] linha {i}\r\n" for i in range(40_000)).encode()
    assert len(old) > 1 << 20
    game.write("launcher.log", old)
    game.write("launcher.log.1", b"the one before\r\n")
    game.configure("http://127.0.0.1:9/")  # nothing answers: the game starts as it is
    assert game.run() == 0
    assert game.read("launcher.log.1") == old
    assert game.log().count("--- atualizador iniciado em") == 1
    assert len(game.read("launcher.log")) < 4096

    assert game.run() == 0  # a small log grows on
    assert game.read("launcher.log.1") == old
    assert game.log().count("--- atualizador iniciado em") == 2
