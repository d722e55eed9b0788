"""The publishing tool: what it writes, and what it refuses."""
import hashlib
import subprocess
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


@pytest.mark.parametrize("name", ["CON", "nul.txt", "com1.log", "trailing.", "name:stream", "CONIN$",
                                  "conout$.txt", "COM\u00b9.log", "lpt\u00b3", "launcher.serie",
                                  "m\u00fasica.ogg", "a" * 256, "100%.pak", "a#b.pak", "why?.pak"])
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


@pytest.mark.parametrize("files, version, expected", [
    ({f"f{i}.bin": b"" for i in range(4097)}, "1", "the release holds 4097 files; the launcher reads at most 4096"),
    ({"a" * 255: b"x"}, "1", None),
    ({"d\\" + "a" * 254: b"x"}, "1", "is 256 characters long; the launcher handles at most 255"),
    ({"ok.bin": b"x"}, "v" * 128, "the version is 128 characters long; the launcher keeps 127"),
    ({"ok.bin": b"x"}, "1.0\tbeta", "the version holds a control character"),
    ({"ok.bin": b"x"}, "vers\u00e3o", "the version holds a character outside printable ASCII"),
])
def test_refuses_releases_the_launcher_cannot_check_in_full(tmp_path, files, version, expected):
    release = make_release(tmp_path / "release", {name.replace("\\", "/"): data for name, data in files.items()})
    out = tmp_path / "out"
    if expected is None:
        publish_release.main([str(release), str(out), "--version", version])
        return
    with pytest.raises(SystemExit) as refused:
        publish_release.main([str(release), str(out), "--version", version])
    assert expected in str(refused.value)
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
    assert publish_release.unsafe_reason("com10.txt") is None


def test_republishing_copies_only_what_changed_and_leaves_nothing_half_written(tmp_path, capsys):
    release = make_release(tmp_path / "release", {"a.bin": b"a" * 1000, "data/b.bin": b"b", "c.bin": b"c"})
    out = tmp_path / "out"
    publish_release.main([str(release), str(out), "--version", "1"])
    assert "copied 3 file(s), left 0 as they were" in capsys.readouterr().out
    (release / "data" / "b.bin").write_bytes(b"B")
    (out / "c.bin").write_bytes(b"x")  # same size, other bytes: copied again
    publish_release.main([str(release), str(out), "--version", "2"])
    printed = capsys.readouterr().out
    assert "copied 2 file(s), left 1 as they were" in printed
    assert "published a.bin" not in printed
    assert (out / "data" / "b.bin").read_bytes() == b"B" and (out / "c.bin").read_bytes() == b"c"
    assert not list(out.rglob(".publishing-*"))


def test_manifests_are_renamed_into_place_after_the_data_files(tmp_path, monkeypatch):
    release = make_release(tmp_path / "release", {"a.bin": b"a", "b.bin": b"b"})
    out = tmp_path / "out"
    renamed = []
    real_replace = publish_release.os.replace
    monkeypatch.setattr(publish_release.os, "replace",
                        lambda source, target: (renamed.append(Path(target).name), real_replace(source, target)))
    publish_release.main([str(release), str(out), "--version", "1"])
    assert renamed == ["a.bin", "b.bin", "manifesto_completo.txt", "manifesto.txt"]


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    for name in ("first", "second"):
        publish_release.main(["keygen", str(folder / name)])
    return folder


def test_keygen_writes_a_private_key_only_its_owner_reads_and_never_overwrites_one(keys):
    from cryptography.hazmat.primitives import serialization
    private = keys / "first.pem"
    assert private.stat().st_mode & 0o777 == 0o600
    public = serialization.load_pem_public_key((keys / "first.pub.pem").read_bytes())
    assert public.key_size == 3072
    assert (keys / "first.pub.pem").read_text().startswith("-----BEGIN PUBLIC KEY-----")
    before = private.read_bytes()
    with pytest.raises(SystemExit):
        publish_release.main(["keygen", str(keys / "first")])
    assert private.read_bytes() == before


def verify(manifest_bytes, public_pem):
    """Every signature line checked with the key; answers the signed text."""
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import padding
    import base64
    signed, _, tail = manifest_bytes.partition(b"ASSINATURA ")
    key = serialization.load_pem_public_key(public_pem)
    results = []
    for line in (b"ASSINATURA " + tail).splitlines():
        assert line.startswith(b"ASSINATURA ")
        try:
            key.verify(base64.b64decode(line.split()[1]), signed, padding.PKCS1v15(), hashes.SHA256())
            results.append(True)
        except Exception:  # noqa: BLE001 (any verification failure)
            results.append(False)
    return signed.decode(), results


def test_signs_both_manifests_with_every_key_and_a_growing_serial(tmp_path, keys):
    release = make_release(tmp_path / "release", {"a.bin": b"a", "first.txt": b"f"})
    out = tmp_path / "out"
    sign = ["--sign", str(keys / "first.pem"), "--sign", str(keys / "second.pem")]
    publish_release.main([str(release), str(out), "--version", "1", "--leave-out", "first.txt", *sign,
                          "--expires-in", "7"])
    for name in ("manifesto.txt", "manifesto_completo.txt"):
        data = (out / name).read_bytes()
        signed, first = verify(data, (keys / "first.pub.pem").read_bytes())
        _, second = verify(data, (keys / "second.pub.pem").read_bytes())
        assert first == [True, False] and second == [False, True]
        assert signed.splitlines()[-3:-1] == [f"NOME {name}", "SERIE 1"]
        assert signed.splitlines()[-1].startswith("EXPIRA 20")
        assert data.endswith(b"\n") and b"\r" not in data

    publish_release.main([str(release), str(out), "--version", "2", *sign[:2]])
    signed, _ = verify((out / "manifesto.txt").read_bytes(), (keys / "first.pub.pem").read_bytes())
    assert signed.splitlines()[-1] == "SERIE 2"
    for serial in ("2", "1"):
        with pytest.raises(SystemExit) as refused:
            publish_release.main([str(release), str(out), "--version", "3", *sign[:2], "--serial", serial])
        assert "is not above 2" in str(refused.value)
    publish_release.main([str(release), str(out), "--version", "3", *sign[:2], "--serial", "40"])
    assert b"SERIE 40\n" in (out / "manifesto.txt").read_bytes()
    with pytest.raises(SystemExit):
        publish_release.main([str(release), str(out), "--version", "4", "--serial", "41"])


TOOLS = Path(__file__).resolve().parents[2] / "tools"


@pytest.mark.parametrize("tool, words", [
    ("publish_release.py", ["keygen", "--version", "--leave-out", "--write-config", "--executable", "--sign",
                            "--serial", "--expires-in"]),
    ("local_nginx.py", ["FOLDER", "--url-path", "--port", "--state", "SIGTERM"]),
])
def test_each_tool_runs_as_a_program_and_its_help_says_everything(tool, words):
    helped = subprocess.run([str(TOOLS / tool), "--help"], capture_output=True, text=True)
    assert helped.returncode == 0, helped.stderr
    for word in words:
        assert word in helped.stdout, word


def test_a_release_without_launcher_cfg_is_warned_about_and_one_is_written_when_asked(tmp_path, capsys):
    release = make_release(tmp_path / "release", {"client.exe": b"game", "first.txt": b"f"})
    out = tmp_path / "out"
    publish_release.main([str(release), str(out), "--version", "1"])
    assert "the release holds no launcher.cfg" in capsys.readouterr().err

    publish_release.main([str(release), str(out), "--version", "2", "--leave-out", "first.txt",
                          "--write-config", "https://cdn.example.com/quorvane/", "--executable", "game.exe"])
    assert "warning" not in capsys.readouterr().err
    config = (out / "launcher.cfg").read_bytes()
    assert config.endswith(b"URL_BASE    https://cdn.example.com/quorvane/\r\nEXECUTAVEL  game.exe\r\n")
    assert b"MANIFESTO" not in config
    for manifest in ("manifesto.txt", "manifesto_completo.txt"):
        assert f"{hashlib.sha256(config).hexdigest()} {len(config)} launcher.cfg" in (out / manifest).read_text()
    assert not (release / "launcher.cfg").exists()  # the release folder stays as it was

    for arguments, refusal in ((["--write-config", "http://no-final-slash"], "ends in '/'"),
                               (["--write-config", "ftp://x/"], "http:// or https://"),
                               (["--write-config", "http://x/", "--executable", "my game.exe"], "without blanks")):
        with pytest.raises(SystemExit) as refused:
            publish_release.main([str(release), str(out), "--version", "3", *arguments])
        assert refusal in str(refused.value)
    make_release(release, {"launcher.cfg": b"URL_BASE http://x/\r\n"})
    with pytest.raises(SystemExit) as refused:
        publish_release.main([str(release), str(out), "--version", "3", "--write-config", "http://x/"])
    assert "holds its own launcher.cfg" in str(refused.value)
    publish_release.main([str(release), str(out), "--version", "3"])
    assert "warning" not in capsys.readouterr().err
