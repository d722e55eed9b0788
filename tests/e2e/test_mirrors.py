"""Mirrors: a launcher.cfg with ESPELHO lines besides URL_BASE, against two
servers on 127.0.0.1. A first server that is down, failing or silent costs one
request per run and the run ends up to date from the mirror; a file one server
lacks comes from the other; a stale mirror's older signed release is refused;
with every server down the game starts as when the one server cannot be asked."""
import os
import random
import socket
import time

import pytest

from conftest import LAUNCHER_SHORT_TIMEOUTS, LAUNCHER_SIGNED, STUB_GAME, TEST_SIGNING_KEY, GameFolder, Nginx, Release, \
    forget_serial_floors, pattern
from test_update import GAME_STARTED, messages_after_start

NOT_CHECKED = "Could not check for updates; starting the game anyway."
# Bytes that do not compress: every file travels as its raw object.
FILES = {f"data\\part{i}.pak": random.Random(i).randbytes(40_000 + i * 1000) for i in range(5)}


def closed_port_url():
    """A base URL on a port nothing listens on: connections are refused."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/"


def publish_game(release, objects=False):
    release.add("client.exe", STUB_GAME.read_bytes())
    for name, data in FILES.items():
        release.add(name, data)
    release.publish("2.0", objects=objects)


def configure(game, first, *mirrors, extra=""):
    game.configure(first, "".join(f"ESPELHO {mirror}\r\n" for mirror in mirrors) + extra)


def assert_up_to_date_and_started(game):
    for name, data in FILES.items():
        assert game.read(name.replace("\\", "/")) == data, name
    assert game.game_record() is not None
    assert messages_after_start(game)[-1] == GAME_STARTED


def served_lines(game):
    return [m for m in messages_after_start(game) if m.startswith("servidor ") and m.endswith(" arquivo(s)")]


def file_requests(server):
    return [path for path, _ in server.requests if path != "/manifesto.txt"]


@pytest.mark.parametrize("connections", [1, 6])
def test_a_first_server_with_its_port_closed_leaves_the_run_to_the_mirror(game, release, nginx, connections):
    publish_game(release, objects=True)
    down = closed_port_url()
    configure(game, down, nginx.base_url, extra=f"CONEXOES {connections}\r\n")

    assert game.run() == 0
    assert_up_to_date_and_started(game)
    switches = [m for m in game.log_messages() if m.startswith(f"servidor {down} falhou (")]
    assert switches == [f"servidor {down} falhou (sem conexao, erro 12029); uso {nginx.base_url}"]
    assert served_lines(game) == [f"servidor {down}: 0 arquivo(s)", f"servidor {nginx.base_url}: 6 arquivo(s)"]


@pytest.mark.parametrize("connections", [1, 6])
def test_a_first_server_answering_503_is_asked_once_and_the_mirror_serves(game, release, nginx, fault_server,
                                                                          connections):
    publish_game(release)
    fault_server.fault_everything = ("status", 503)
    configure(game, fault_server.base_url, nginx.base_url, extra=f"CONEXOES {connections}\r\n")

    assert game.run() == 0
    assert_up_to_date_and_started(game)
    assert [path for path, _ in fault_server.requests] == ["/manifesto.txt"]
    assert f"servidor {fault_server.base_url} falhou (HTTP 503); uso {nginx.base_url}" in game.log_messages()


@pytest.mark.parametrize("connections", [1, 6])
def test_a_server_that_fails_after_the_manifest_goes_to_the_end_also_with_files_in_flight(
        game, release, nginx, fault_server, connections):
    """The first server gives the manifest, then answers 503 for every file: the files in flight
    at that moment ask it once each, every later file goes to the mirror first."""
    publish_game(release)
    fault_server.fault_everything = ("status", 503)
    fault_server.faults["/manifesto.txt"] = ()
    configure(game, fault_server.base_url, nginx.base_url, extra=f"CONEXOES {connections}\r\n")

    assert game.run() == 0
    assert_up_to_date_and_started(game)
    asked = file_requests(fault_server)
    assert 1 <= len(asked) <= connections, asked
    assert len(set(asked)) == len(asked)
    switches = [m for m in game.log_messages() if m.startswith(f"servidor {fault_server.base_url} falhou")]
    assert switches == [f"servidor {fault_server.base_url} falhou (HTTP 503); uso {nginx.base_url}"]
    assert served_lines(game) == [f"servidor {fault_server.base_url}: 0 arquivo(s)",
                                  f"servidor {nginx.base_url}: 6 arquivo(s)"]


@pytest.mark.parametrize("connections", [1, 6])
def test_a_silent_first_server_costs_one_time_out(tmp_path, release, nginx, fault_server, connections):
    """The test build waits 2 s for an answer; the silent server is asked once, never again."""
    (tmp_path / "game").mkdir()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SHORT_TIMEOUTS)
    publish_game(release, objects=True)
    fault_server.fault_everything = ("silent", 1000)
    configure(game, fault_server.base_url, nginx.base_url, extra=f"CONEXOES {connections}\r\n")

    started = time.monotonic()
    assert game.run() == 0
    took = time.monotonic() - started
    assert_up_to_date_and_started(game)
    assert [path for path, _ in fault_server.requests] == ["/manifesto.txt"]
    switches = [m for m in game.log_messages() if m.startswith(f"servidor {fault_server.base_url} falhou")]
    assert len(switches) == 1 and switches[0].startswith(f"servidor {fault_server.base_url} falhou (sem resposta")
    assert switches[0].endswith(f"; uso {nginx.base_url}")
    assert took < 30, took  # one wait of 2 s, not three per file


def test_an_object_the_first_server_lacks_comes_from_the_mirror(game, release, nginx, fault_server):
    publish_game(release, objects=True)
    lacking = "data\\part2.pak"
    fault_server.faults["/objetos/" + release.object_path(FILES[lacking]).name] = ("404",)
    fault_server.faults["/data/part2.pak"] = ("404",)
    configure(game, fault_server.base_url, nginx.base_url)

    assert game.run() == 0
    assert_up_to_date_and_started(game)
    assert (f"{lacking} indisponivel em {fault_server.base_url} (HTTP 404); uso {nginx.base_url}"
            in game.log_messages())
    assert [r["request"].split()[1] for r in nginx.requests()] == ["/objetos/" + release.object_path(FILES[lacking]).name]
    assert not [m for m in game.log_messages() if " falhou (" in m]
    assert served_lines(game) == [f"servidor {fault_server.base_url}: 5 arquivo(s)",
                                  f"servidor {nginx.base_url}: 1 arquivo(s)"]


def test_a_stale_mirror_s_older_signed_release_is_refused_and_the_game_starts(tmp_path, release):
    (tmp_path / "game").mkdir()
    forget_serial_floors()
    game = GameFolder(tmp_path / "game", launcher=LAUNCHER_SIGNED)
    sign = {"sign": [str(TEST_SIGNING_KEY)]}
    stale = Release(tmp_path / "stale_release", tmp_path / "stale_served")
    for folder in (release, stale):
        folder.add("launcher.exe", LAUNCHER_SIGNED.read_bytes())
        folder.add("client.exe", STUB_GAME.read_bytes())
    stale.add("data\\a.pak", pattern(30_000, seed=1))
    stale.publish("1.0", objects=True, serial=1, **sign)
    release.add("data\\a.pak", pattern(30_000, seed=2))
    release.publish("2.0", objects=True, serial=2, **sign)
    # Published in the same second with the same size, the two manifests would share nginx's ETag
    # (time and size), and the mirror would answer the held copy's validator with a 304.
    for manifest in stale.served.glob("manifesto*.txt"):
        os.utime(manifest, (manifest.stat().st_mtime - 3600,) * 2)
    first = Nginx(release.served, tmp_path / "nginx_first")
    mirror = Nginx(stale.served, tmp_path / "nginx_mirror")
    try:
        configure(game, first.base_url, mirror.base_url)
        assert game.run() == 0
        assert game.read("data/a.pak") == pattern(30_000, seed=2)
        assert game.read("launcher.serie") == b"2\r\n"
        assert mirror.requests() == []

        first.stop()
        game.path("stub_game_record.txt").unlink()
        assert game.run() == 0
        assert game.game_record() is not None
        assert game.read("data/a.pak") == pattern(30_000, seed=2)  # never the older release
        assert game.read("launcher.serie") == b"2\r\n"
        assert [r["request"] for r in mirror.requests()] == ["GET /manifesto.txt HTTP/1.1"]
        messages = messages_after_start(game)
        assert "manifesto mais antigo que o aceito: serie 1 < 2" in messages
        assert f"servidor {first.base_url} falhou (sem conexao, erro 12029); uso {mirror.base_url}" in messages
        assert messages[-2:] == [NOT_CHECKED, GAME_STARTED]
    finally:
        first.stop()
        mirror.stop()


def test_with_every_server_down_the_game_starts_with_one_line_per_server(game, release, fault_server):
    publish_game(release)
    fault_server.fault_everything = ("status", 503)
    down, also_down = closed_port_url(), closed_port_url()
    configure(game, down, also_down, fault_server.base_url)
    game.write("client.exe", STUB_GAME.read_bytes())  # an earlier install's game

    assert game.run() == 0
    assert game.game_record() is not None
    messages = messages_after_start(game)
    assert [m for m in messages if m.startswith("servidor ")] == [
        f"servidor {down} falhou (sem conexao, erro 12029); uso {also_down}",
        f"servidor {also_down} falhou (sem conexao, erro 12029); uso {fault_server.base_url}",
        f"servidor {fault_server.base_url} falhou (HTTP 503)",
    ]
    assert messages[-3:] == [NOT_CHECKED, f"manifesto indisponivel em {fault_server.base_url}manifesto.txt",
                             GAME_STARTED]
    assert not game.path("data").exists()
