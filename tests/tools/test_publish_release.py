"""The publishing tool: what it writes, and what it refuses."""
import hashlib
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import publish_release  # noqa: E402


def make_release(root, files):
    for relative, data in files.items():
        path = root.joinpath(*relative.split("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


def test_publishes_files_and_both_manifests(tmp_path, capsys):
    release = make_release(tmp_path / "release", {
        "client.exe": b"game", "data/maps/a b.pak": b"map" * 100, "first_run.txt": b"hello"})
    out = tmp_path / "out"
    publish_release.main([str(release), str(out), "--version", "1.0.42", "--leave-out", "first_run.txt"])

    lines = (out / "manifesto_completo.txt").read_bytes().decode().splitlines()
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    assert lines == [
        "VERSAO 1.0.42",
        f"ARQUIVO {sha(b'game')} 4 client.exe",
        f"ARQUIVO {sha(b'map' * 100)} 300 data\\maps\\a b.pak",
        f"ARQUIVO {sha(b'hello')} 5 first_run.txt",
    ]
    assert (out / "manifesto.txt").read_text().splitlines() == lines[:3]
    assert (out / "data" / "maps" / "a b.pak").read_bytes() == b"map" * 100
    printed = capsys.readouterr().out
    assert "published data\\maps\\a b.pak (300 bytes)" in printed
    assert "wrote manifesto_completo.txt and manifesto.txt for version 1.0.42 (3 files)" in printed


@pytest.mark.parametrize("name", ["CON", "nul.txt", "com1.log", "trailing.", "name:stream"])
def test_refuses_names_the_launcher_would_refuse(tmp_path, name):
    try:
        release = make_release(tmp_path / "release", {name: b"x", "ok.bin": b"y"})
    except OSError:
        pytest.skip(f"this file system cannot hold {name!r}")
    out = tmp_path / "out"
    with pytest.raises(SystemExit) as refused:
        publish_release.main([str(release), str(out), "--version", "1"])
    assert name in str(refused.value)
    assert not out.exists()


def test_refuses_a_leave_out_that_names_nothing_and_an_empty_version(tmp_path):
    release = make_release(tmp_path / "release", {"a.bin": b"a"})
    with pytest.raises(SystemExit):
        publish_release.main([str(release), str(tmp_path / "out"), "--version", "1", "--leave-out", "b.bin"])
    with pytest.raises(SystemExit):
        publish_release.main([str(release), str(tmp_path / "out"), "--version", " "])


def test_unsafe_rule_matches_the_launchers(tmp_path):
    assert publish_release.unsafe_reason("data\\maps\\a b.pak") is None
    assert publish_release.unsafe_reason("console.txt") is None
    assert publish_release.unsafe_reason("data\\LPT9.dat") is not None
    assert publish_release.unsafe_reason("data\\...\\x") is not None
