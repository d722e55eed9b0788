"""The publishing tool: what it writes, and what it refuses."""
import hashlib
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest
import zstandard

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import publish_release  # noqa: E402
import publisher.intake  # noqa: E402
import publisher.store  # noqa: E402


def make_release(root, files):
    for relative, data in files.items():
        path = root.joinpath(*relative.split("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


def publish(release, out, *options):
    """A publication whose release leaves launcher.cfg to the test."""
    publish_release.main([str(release), str(out), *options, "--no-config"])


def test_publishes_files_and_both_manifests(tmp_path, capsys):
    release = make_release(tmp_path / "release", {
        "client.exe": b"game", "data/maps/a b.pak": b"map" * 100, "first_run.txt": b"hello"})
    out = tmp_path / "out"
    publish(release, out, "--version", "1.0.42", "--leave-out", "first_run.txt", "--verbose")

    lines = (out / "manifesto_completo.txt").read_bytes().decode().splitlines()
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    packed = (out / "objetos" / lines[4].split()[1]).read_bytes()
    assert lines == [
        "VERSAO 1.0.42",
        "OBJETOS objetos/",
        f"ARQUIVO {sha(b'game')} 4 client.exe",
        f"ARQUIVO {sha(b'map' * 100)} 300 data\\maps\\a b.pak",
        # The pack compresses, one frame: its compressed object named directly; the other files are too small.
        f"QUADRO {sha(packed)} {len(packed)} data\\maps\\a b.pak",
        f"ARQUIVO {sha(b'hello')} 5 first_run.txt",
    ]
    assert (out / "manifesto.txt").read_text().splitlines() == lines[:5]
    assert (out / "data" / "maps" / "a b.pak").read_bytes() == b"map" * 100
    # Every file once more under its digest, the same bytes on the studio's disk as its path copy.
    pack = out / "objetos" / sha(b"map" * 100)
    assert pack.read_bytes() == b"map" * 100 and pack.stat().st_mode & 0o777 == 0o444
    assert pack.stat().st_ino == (out / "data" / "maps" / "a b.pak").stat().st_ino
    assert zstandard.ZstdDecompressor().decompress(packed) == b"map" * 100 and len(packed) < 300
    assert sorted(p.name for p in (out / "objetos").iterdir()) == sorted(
        [sha(d) for d in (b"game", b"map" * 100, b"hello", packed)])
    printed = capsys.readouterr().out
    assert "published data\\maps\\a b.pak (300 bytes)" in printed
    assert "wrote manifesto_completo.txt and manifesto.txt for version 1.0.42 (3 files)" in printed


def test_a_release_of_many_files_prints_a_summary_and_verbose_lists_each_file(tmp_path, capsys):
    files = {f"data/f{i:04}.png": b"%d" % (i % 900) for i in range(1000)}  # 100 share another's bytes
    release = make_release(tmp_path / "release", files)
    out = tmp_path / "out"
    publish(release, out, "--version", "1")
    printed = capsys.readouterr()
    assert printed.out.splitlines()[:3] == [
        "release: 1000 file(s), 2.7 KB; 100 of them share their content with another file of the release (one "
        "object serves them)",
        "wrote 900 object(s) into objetos/, 0 were there already",
        "copied 1000 file(s), left 0 as they were"]
    assert len(printed.out.splitlines()) == 5 and printed.err == "", printed.out
    assert printed.out.splitlines()[-1] == "0 file(s) removed from players' folders where unchanged"

    (release / "data" / "f0000.png").write_bytes(b"new")
    (release / "data" / "f0001.png").unlink()
    publish(release, out, "--version", "2", "--verbose")
    printed = capsys.readouterr().out.splitlines()
    assert printed[-1] == "1 file(s) removed from players' folders where unchanged"
    assert printed[-7:-2] == [
        "release: 999 file(s), 2.7 KB; 98 of them share their content with another file of the release (one object "
        "serves them)",
        "wrote 1 object(s) into objetos/, 900 were there already",
        "copied 1 file(s), left 998 as they were",
        "a player of the previous release fetches 3 bytes of 2.7 KB: 1 changed or new file(s), large ones as patches "
        "where they have a chunk index",
        "removed 1 file(s) that the release no longer holds from OUT (their objects stay until prune)"]
    assert printed[:2] == ["published data\\f0000.png (3 bytes)",
                           "removed data\\f0001.png: the release no longer holds it; its object stays until prune"]


@pytest.mark.parametrize("terminal", [False, True])
def test_progress_on_long_work_reads_well_in_a_log_and_in_a_terminal(tmp_path, capsys, monkeypatch, terminal):
    from publisher import report
    monkeypatch.setattr(report, "QUIET_START", 0)  # as if every step were long
    monkeypatch.setattr(report, "LOG_INTERVAL", 0)
    monkeypatch.setattr(report, "TERMINAL_INTERVAL", 0)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: terminal)
    release = make_release(tmp_path / "release", {f"f{i}.bin": b"x" * 1000 for i in range(3)})
    publish(release, tmp_path / "out", "--version", "1")
    printed = capsys.readouterr()
    assert "release: 3 file(s), 2.9 KB" in printed.out
    assert "hashing: 3 of 3 file(s), 2.9 KB of 2.9 KB" in printed.err
    if terminal:  # one line rewritten in place, cleared before the summary
        assert printed.err.startswith("\r") and printed.err.endswith("\r") and "\n" not in printed.err
        return
    assert printed.err.splitlines()[0] == "hashing: 0 of 3 file(s), 1000 bytes of 2.9 KB"
    assert all(" file(s), " in line for line in printed.err.splitlines())
    assert not re.search(r"[\x00-\x09\x0b-\x1f\x7f]", printed.err), "no control characters but line ends in a log"


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
        publish(release, out, "--version", "1")
    assert name in str(refused.value)
    assert not out.exists()


@pytest.mark.parametrize("files, version, expected", [
    ({f"f{i}.bin": b"" for i in range(4097)}, "1",
     "the release lists 4097 files, which installed launchers cannot read, and holds no launcher.exe"),
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
        publish(release, out, "--version", version)
        return
    with pytest.raises(SystemExit) as refused:
        publish(release, out, "--version", version)
    assert expected in str(refused.value)
    assert not out.exists()


CAPABLE_LAUNCHER = b"MZ launcher...QRV-LIMITES-DO-MANIFESTO 1000000 64\0..."


@pytest.mark.parametrize("launcher, files, expected", [
    (b"MZ today's launcher", 4096, None),
    (None, 4097, "the release lists 4097 files, which installed launchers cannot read, and holds no launcher.exe"),
    (b"MZ today's launcher", 4097, "the release lists 4097 files, and its launcher.exe reads at most 4096 files of "
                                   "32-bit sizes"),
    (b"MZ QRV-LIMITES-DO-MANIFESTO 5000 32\0", 5001,
     "the release lists 5001 files, and its launcher.exe reads at most 5000 files of 32-bit sizes"),
    (CAPABLE_LAUNCHER, 5000, None),
])
def test_a_release_beyond_older_launchers_needs_a_launcher_that_reads_it(tmp_path, launcher, files, expected):
    contents = {f"data/f{i:05}.bin": b"" for i in range(files - (launcher is not None))}
    if launcher is not None:
        contents["launcher.exe"] = launcher
    release = make_release(tmp_path / "release", contents)
    out = tmp_path / "out"
    if expected:
        with pytest.raises(SystemExit) as refused:
            publish(release, out, "--version", "1")
        assert expected in str(refused.value)
        assert not out.exists()
        return
    publish(release, out, "--version", "1")
    lines = (out / "manifesto_completo.txt").read_text().splitlines()
    assert lines[2].endswith(" launcher.exe"), "the launcher's own entry first"
    if files > 4096:
        assert lines[3] == (f"ARQUIVO-LIMITES {files} 32 exige um atualizador que leia {files} arquivos e tamanhos "
                            "de 32 bits: o launcher.exe listado antes desta linha")
    assert sum(line.startswith("ARQUIVO ") for line in lines) == files


def test_files_over_4_gb_are_listed_with_their_size_once_the_launcher_reads_them(tmp_path):
    """Sparse files: the refusal and the lines are decided by the sizes alone."""
    release = make_release(tmp_path / "release", {"launcher.exe": b"MZ today's launcher", "a.bin": b"a"})
    with open(release / "big.pak", "wb") as big:
        big.truncate(5 << 30)
    with pytest.raises(SystemExit) as refused:
        publish(release, tmp_path / "out", "--version", "1")
    assert ("the release lists a file over 4294967295 bytes, and its launcher.exe reads at most 4096 files of "
            "32-bit sizes" in str(refused.value))
    entries = [("a.bin", "a" * 64, 1), ("big.pak", "b" * 64, 5 << 30), ("launcher.exe", "c" * 64, 19)]
    text = publish_release.manifest_text("1", publish_release.in_launcher_order(entries), needs=(3, 64))
    assert text.splitlines()[1:] == [
        f"ARQUIVO {'c' * 64} 19 launcher.exe",
        "ARQUIVO-LIMITES 3 64 exige um atualizador que leia 3 arquivos e tamanhos de 64 bits: o launcher.exe "
        "listado antes desta linha",
        f"ARQUIVO {'a' * 64} 1 a.bin",
        f"ARQUIVO {'b' * 64} 5368709120 big.pak",
    ]


def test_refuses_a_leave_out_that_names_nothing_and_an_empty_version(tmp_path):
    release = make_release(tmp_path / "release", {"a.bin": b"a"})
    with pytest.raises(SystemExit):
        publish(release, tmp_path / "out", "--version", "1", "--leave-out", "b.bin")
    with pytest.raises(SystemExit):
        publish(release, tmp_path / "out", "--version", " ")


def test_unsafe_rule_matches_the_launchers(tmp_path):
    assert publish_release.unsafe_reason("data\\maps\\a b.pak") is None
    assert publish_release.unsafe_reason("console.txt") is None
    assert publish_release.unsafe_reason("data\\LPT9.dat") is not None
    assert publish_release.unsafe_reason("data\\...\\x") is not None
    assert publish_release.unsafe_reason("com10.txt") is None


def test_republishing_copies_only_what_changed_and_leaves_nothing_half_written(tmp_path, capsys):
    release = make_release(tmp_path / "release", {"a.bin": b"a" * 1000, "data/b.bin": b"b", "c.bin": b"c"})
    out = tmp_path / "out"
    publish(release, out, "--version", "1")
    assert "copied 3 file(s), left 0 as they were" in capsys.readouterr().out
    (release / "data" / "b.bin").write_bytes(b"B")
    objects = {p.name: p.stat().st_mtime_ns for p in (out / "objetos").iterdir()}
    (out / "c.bin").chmod(0o644)
    (out / "c.bin").write_bytes(b"x")  # same size, other bytes, written in place: its object with it
    publish(release, out, "--version", "2")
    printed = capsys.readouterr()
    assert "copied 2 file(s), left 1 as they were" in printed.out
    assert "wrote 1 object(s) into objetos/, 3 were there already" in printed.out  # a.bin's form is one frame
    assert "published a.bin" not in printed.out
    assert "objetos/" + hashlib.sha256(b"c").hexdigest() + " was damaged" in printed.err
    assert (out / "data" / "b.bin").read_bytes() == b"B" and (out / "c.bin").read_bytes() == b"c"
    assert (out / "objetos" / hashlib.sha256(b"c").hexdigest()).read_bytes() == b"c"
    a_object = hashlib.sha256(b"a" * 1000).hexdigest()
    assert (out / "objetos" / a_object).stat().st_mtime_ns == objects[a_object], "objects are never rewritten"
    assert not list(out.rglob(".publishing-*"))

    # A file dropped from the release leaves OUT with its folder; its object stays until prune.
    (release / "data" / "b.bin").unlink()
    publish(release, out, "--version", "3", "--verbose")
    printed = capsys.readouterr().out
    assert "removed data\\b.bin: the release no longer holds it; its object stays until prune" in printed
    assert "removed 1 file(s) that the release no longer holds from OUT (their objects stay until prune)" in printed
    assert not (out / "data").exists() and (out / "objetos" / hashlib.sha256(b"B").hexdigest()).is_file()


def test_manifests_are_renamed_into_place_after_the_data_files(tmp_path, monkeypatch):
    release = make_release(tmp_path / "release", {"a.bin": b"a", "b.bin": b"b"})
    out = tmp_path / "out"
    renamed = []  # or linked where the name was free: a link appears whole too
    for call in ("replace", "link"):
        monkeypatch.setattr(publish_release.os, call, lambda source, target, real=getattr(os, call): (
            renamed.append(Path(target).name), real(source, target)))
    publish(release, out, "--version", "1")
    objects = [hashlib.sha256(data).hexdigest() for data in (b"a", b"b")]
    assert sorted(renamed[:2]) == sorted(objects)  # written on several threads
    assert renamed[2:] == ["a.bin", "b.bin", "manifesto_completo.txt", "manifesto.txt",
                           "1-manifesto_completo.txt", "1-manifesto.txt", "fontes.json"]
    renamed.clear()
    publish(release, tmp_path / "by-path", "--version", "1", "--no-objects")
    assert renamed == ["a.bin", "b.bin", "manifesto_completo.txt", "manifesto.txt"]
    assert sorted(p.name for p in (tmp_path / "by-path").iterdir()) == [
        "a.bin", "b.bin", "manifesto.txt", "manifesto_completo.txt"]
    assert b"OBJETOS" not in (tmp_path / "by-path" / "manifesto.txt").read_bytes()


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


def fingerprint(public_pem):
    """As the README says to compute it: SHA-256 of the key's DER form."""
    der = subprocess.run(["openssl", "pkey", "-pubin", "-in", str(public_pem), "-outform", "DER"],
                         capture_output=True, check=True).stdout
    return hashlib.sha256(der).hexdigest()


def test_keygen_makes_its_folder_and_prints_the_fingerprint_as_the_build_does(tmp_path, capsys):
    name = tmp_path / "studio" / "keys" / "studio"
    publish_release.main(["keygen", str(name)])
    printed = capsys.readouterr().out
    assert f"wrote {name}.pem (private: keep it secret) and {name}.pub.pem" in printed
    assert f"manifest key {name}.pub.pem: SHA-256 {fingerprint(f'{name}.pub.pem')}" in printed
    assert name.parent.stat().st_mode & 0o777 == 0o700


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
    publish(release, out, "--version", "1", "--leave-out", "first.txt", *sign, "--expires-in", "7")
    for name in ("manifesto.txt", "manifesto_completo.txt"):
        data = (out / name).read_bytes()
        signed, first = verify(data, (keys / "first.pub.pem").read_bytes())
        _, second = verify(data, (keys / "second.pub.pem").read_bytes())
        assert first == [True, False] and second == [False, True]
        assert signed.splitlines()[-3:-1] == [f"NOME {name}", "SERIE 1"]
        assert signed.splitlines()[-1].startswith("EXPIRA 20")
        assert data.endswith(b"\n") and b"\r" not in data

    publish(release, out, "--version", "2", *sign[:2])
    signed, _ = verify((out / "manifesto.txt").read_bytes(), (keys / "first.pub.pem").read_bytes())
    assert signed.splitlines()[-1] == "SERIE 2"
    for serial in ("2", "1"):
        with pytest.raises(SystemExit) as refused:
            publish(release, out, "--version", "3", *sign[:2], "--serial", serial)
        assert "is not above 2" in str(refused.value)
    publish(release, out, "--version", "3", *sign[:2], "--serial", "40")
    assert b"SERIE 40\n" in (out / "manifesto.txt").read_bytes()
    with pytest.raises(SystemExit):
        publish(release, out, "--version", "4", "--serial", "41")


def launcher_holding(keys, names):
    """A launcher.exe as the build makes it: each public key's PEM text among its bytes."""
    return b"MZ\x90\x00" + b"".join(b"\x00" * 16 + (keys / f"{n}.pub.pem").read_bytes() for n in names) + b"\x00"


@pytest.mark.parametrize("previous, own, signers, expected", [
    (None, ["first"], ["second"], "refused: the release's launcher.exe ({release}/launcher.exe) checks manifests "
                                  "against SHA-256 {first}; the release is signed with SHA-256 {second} "
                                  "({keys}/second.pem): every player who runs it would refuse the release"),
    (None, ["first"], [], "refused: the release's launcher.exe ({release}/launcher.exe) checks manifests against "
                          "SHA-256 {first}; the release is not signed (--sign)"),
    (None, ["first", "second"], ["second"], None),
    (["first"], None, ["second"], "refused: the launcher.exe of the previous publication in OUT ({out}/launcher.exe; "
                                  "the release holds none) checks manifests against SHA-256 {first}"),
    (["first"], ["second"], ["second"], "warning: the launcher.exe of the previous publication in OUT "
                                        "({out}/launcher.exe) checks manifests against SHA-256 {first}; the release "
                                        "is signed with SHA-256 {second} ({keys}/second.pem): installed players "
                                        "still run it"),
    (None, [], ["first"], "warning: the release's launcher.exe holds no manifest keys"),
])
def test_a_release_that_the_launchers_would_refuse_is_refused_or_warned_about(tmp_path, keys, capsys, previous, own,
                                                                              signers, expected):
    out = tmp_path / "out"
    if previous:
        earlier = make_release(tmp_path / "earlier", {"launcher.exe": launcher_holding(keys, previous)})
        publish(earlier, out, "--version", "1", "--sign", str(keys / f"{previous[0]}.pem"))
    files = {"client.exe": b"game"} if own is None else {"launcher.exe": launcher_holding(keys, own)}
    release = make_release(tmp_path / "release", files)
    command = ["--version", "2", *[a for n in signers for a in ("--sign", str(keys / f"{n}.pem"))]]
    expected = expected and expected.format(release=release, out=out, keys=keys,
                                            **{n: fingerprint(keys / f"{n}.pub.pem") for n in ("first", "second")})
    capsys.readouterr()
    if expected and expected.startswith("refused"):
        with pytest.raises(SystemExit) as refused:
            publish(release, out, *command)
        assert f"publish: {expected}" in str(refused.value)
        return
    publish(release, out, *command)
    printed = capsys.readouterr().err
    assert f"publish: {expected}" in printed if expected else "warning" not in printed


TOOLS = Path(__file__).resolve().parents[2] / "tools"


@pytest.mark.parametrize("tool, words", [
    ("publish_release.py", ["keygen", "--version", "--leave-out", "--write-config", "--mirror", "--executable",
                            "--no-config", "--frame-size", "--compression-level", "--no-raw-objects",
                            "--sign", "--serial", "--expires-in", "--dry-run"]),
    ("local_nginx.py", ["FOLDER", "--url-path", "--port", "--state", "SIGTERM"]),
])
def test_each_tool_runs_as_a_program_and_its_help_says_everything(tool, words):
    helped = subprocess.run([str(TOOLS / tool), "--help"], capture_output=True, text=True)
    assert helped.returncode == 0, helped.stderr
    for word in words:
        assert word in helped.stdout, word


def test_a_release_without_launcher_cfg_is_refused_unless_said_and_one_is_written_when_asked(tmp_path, capsys):
    release = make_release(tmp_path / "release", {"client.exe": b"game", "first.txt": b"f"})
    out = tmp_path / "out"
    command = [str(release), str(out), "--version", "1"]
    with pytest.raises(SystemExit) as refused:
        publish_release.main(command)
    assert ("the release holds no launcher.cfg: new installs would keep asking for manifesto_completo.txt and "
            "overwrite the files left out (--leave-out) at every start") in str(refused.value)
    assert "--no-config" in str(refused.value) and not out.exists()
    publish_release.main(command + ["--no-config"])

    publish_release.main([str(release), str(out), "--version", "2", "--leave-out", "first.txt",
                          "--write-config", "https://cdn.example.com/quorvane/", "--executable", "game.exe"])
    assert "warning" not in capsys.readouterr().err
    config = (out / "launcher.cfg").read_bytes()
    assert config.endswith(b"URL_BASE    https://cdn.example.com/quorvane/\r\nEXECUTAVEL  game.exe\r\n")
    assert b"MANIFESTO" not in config
    for manifest in ("manifesto.txt", "manifesto_completo.txt"):
        assert f"{hashlib.sha256(config).hexdigest()} {len(config)} launcher.cfg" in (out / manifest).read_text()
    assert not (release / "launcher.cfg").exists()  # the release folder stays as it was
    publish_release.main([str(release), str(out), "--version", "2.1", "--leave-out", "first.txt", "--write-config",
                          "https://cdn.example.com/quorvane/", "--mirror", "https://other.example.net/q/", "--mirror",
                          "http://third.example.org/q/"])
    assert (out / "launcher.cfg").read_bytes().endswith(
        b"URL_BASE    https://cdn.example.com/quorvane/\r\nESPELHO     https://other.example.net/q/\r\n"
        b"ESPELHO     http://third.example.org/q/\r\nEXECUTAVEL  client.exe\r\n")

    for arguments, refusal in ((["--write-config", "http://no-final-slash"], "ends in '/'"),
                               (["--write-config", "ftp://x/"], "http:// or https://"),
                               (["--write-config", "http://x/", "--executable", "my game.exe"], "without blanks"),
                               (["--write-config", "http://x/", "--no-config"], "--no-config, yet"),
                               (["--write-config", "http://x/", "--mirror", "http://y"], "--mirror http://y: an"),
                               (["--write-config", "http://x/"] + ["--mirror", "http://y/"] * 5, "at most 4"),
                               (["--mirror", "http://y/"], "--mirror goes with --write-config")):
        with pytest.raises(SystemExit) as refused:
            publish_release.main([str(release), str(out), "--version", "3", *arguments])
        assert refusal in str(refused.value)
    make_release(release, {"launcher.cfg": b"URL_BASE http://x/\r\n"})
    with pytest.raises(SystemExit) as refused:
        publish_release.main([str(release), str(out), "--version", "3", "--write-config", "http://x/"])
    assert "holds its own launcher.cfg" in str(refused.value)
    publish_release.main([str(release), str(out), "--version", "3"])
    assert "warning" not in capsys.readouterr().err


def test_prune_keeps_what_the_last_publications_name(tmp_path, keys, capsys):
    release = make_release(tmp_path / "release", {"a.bin": b"1", "b.bin": b"same"})
    out = tmp_path / "out"
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    for version in (b"1", b"2", b"3"):
        (release / "a.bin").write_bytes(version)
        publish(release, out, "--version", version.decode())
    assert sorted(p.name for p in (out / "publicados").iterdir()) == [
        f"{n}-{name}" for n in (1, 2, 3) for name in ("manifesto.txt", "manifesto_completo.txt")] + ["fontes.json"]
    (out / "objetos" / ".publishing-left-by-a-crash").write_bytes(b"not an object")

    before = sorted(out.rglob("*"))
    publish_release.main(["prune", str(out), "--keep", "2", "--dry-run"])
    printed = capsys.readouterr().out
    assert f"would remove objetos/{sha(b'1')}" in printed and "would remove publicados/1-manifesto.txt" in printed
    assert sorted(out.rglob("*")) == before
    publish_release.main(["prune", str(out), "--keep", "2"])
    assert f"removed objetos/{sha(b'1')}" in capsys.readouterr().out
    assert sorted(p.name for p in (out / "objetos").iterdir()) == sorted(
        [".publishing-left-by-a-crash", sha(b"2"), sha(b"3"), sha(b"same")])
    assert not (out / "publicados" / "1-manifesto.txt").exists()

    publish_release.main(["prune", str(out), "--keep", "1"])
    assert sorted(p.name for p in (out / "objetos").iterdir()) == sorted(
        [".publishing-left-by-a-crash", sha(b"3"), sha(b"same")])
    (out / "publicados" / "3-manifesto.txt").unlink()  # lost records: the current manifests still count
    (out / "publicados" / "3-manifesto_completo.txt").unlink()
    publish_release.main(["prune", str(out), "--keep", "1"])
    assert sha(b"3") in [p.name for p in (out / "objetos").iterdir()]
    with pytest.raises(SystemExit):
        publish_release.main(["prune", str(out), "--keep", "0"])


def removals(out, name="manifesto.txt"):
    return re.findall(r"^REMOVIDO ([0-9a-f]{64}) (.+?)\r?$", (out / name).read_text(), re.MULTILINE)


def test_files_dropped_since_the_kept_publications_are_listed_for_removal_with_each_digest(tmp_path, capsys):
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    release = make_release(tmp_path / "release", {"client.exe": b"game", "data/a.pak": b"a1", "data/b.pak": b"b1"})
    out = tmp_path / "out"
    publish(release, out, "--version", "1")
    assert removals(out) == [] and "0 file(s) removed from players' folders where unchanged" in capsys.readouterr().out
    (release / "data" / "a.pak").write_bytes(b"a2")
    publish(release, out, "--version", "2")
    (release / "data" / "a.pak").unlink()
    publish(release, out, "--version", "3")
    assert "1 file(s) removed from players' folders where unchanged" in capsys.readouterr().out
    assert removals(out) == sorted([(sha(b"a1"), "data\\a.pak"), (sha(b"a2"), "data\\a.pak")], key=lambda r: r[0])
    assert removals(out, "manifesto_completo.txt") == removals(out)

    (release / "data" / "b.pak").unlink()
    make_release(release, {"Data/A.pak": b"a3"})  # back, spelt otherwise: the same file on Windows
    publish(release, out, "--version", "4")
    assert removals(out) == [(sha(b"b1"), "data\\b.pak")]
    assert f"ARQUIVO {sha(b'a3')} 2 Data\\A.pak" in (out / "manifesto.txt").read_text()

    (release / "Data" / "A.pak").unlink()
    publish_release.main(["prune", str(out), "--keep", "2"])  # publications 3 and 4 stay on record
    publish(release, out, "--version", "5")
    assert sorted(path for _, path in removals(out)) == ["Data\\A.pak", "data\\b.pak"]
    assert (sha(b"a3"), "Data\\A.pak") in removals(out) and sha(b"a1") not in out.joinpath("manifesto.txt").read_text()

    publish(release, out, "--version", "6", "--no-objects")  # no record: the list published last still counts
    assert sorted(path for _, path in removals(out)) == ["Data\\A.pak", "data\\b.pak"]


def test_prune_keeps_the_last_publications_in_the_order_published_signed_or_not(tmp_path, keys):
    release = make_release(tmp_path / "release", {"a.bin": b""})
    out = tmp_path / "out"
    (out / "publicados").mkdir(parents=True)
    (out / "publicados" / "3-manifesto.txt").write_bytes(b"VERSAO 0\n")  # named by serial, as before
    for version in range(1, 8):
        (release / "a.bin").write_bytes(b"%d" % version)
        publish_release.main([str(release), str(out), "--version", str(version), "--write-config", "http://x/",
                              *(["--sign", str(keys / "first.pem")] if version > 5 else [])])
    assert (out / "publicados" / "10-manifesto.txt").read_bytes() == (out / "manifesto.txt").read_bytes()
    publish_release.main(["prune", str(out), "--keep", "2"])
    kept = {hashlib.sha256(b"%d" % version).hexdigest() for version in (6, 7)}
    assert kept <= {p.name for p in (out / "objetos").iterdir()}, "both signed releases' files stay"
    assert hashlib.sha256(b"5").hexdigest() not in {p.name for p in (out / "objetos").iterdir()}


def test_large_files_get_a_chunk_index_written_once_and_signed_with_the_manifest(tmp_path, keys, capsys,
                                                                               monkeypatch):
    import random
    from publisher import chunks
    monkeypatch.setattr(chunks, "HELPER", tmp_path / "helper" / "qrv_blocos")  # compiled here, and said so
    rng = random.Random(5)
    pack = rng.randbytes(3 << 20)
    release = make_release(tmp_path / "release", {"data/pack.pak": pack, "small.txt": b"small"})
    out = tmp_path / "out"
    sign = ["--sign", str(keys / "first.pem")]
    publish(release, out, "--version", "1", *sign, "--verbose")
    printed = capsys.readouterr().out
    assert printed.startswith(f"compiling the chunk helper into {tmp_path}/helper/qrv_blocos from the launcher's "
                              "sources"), printed
    assert "chunk indexes: 1 file(s), 1 of them cut anew" in printed
    assert re.search(r"data\\pack\.pak: chunk index of \d{3} bytes \(no earlier", printed), printed
    assert "wrote 4 object(s) into objetos/, 0 were there already" in printed, "the index and records counted"
    assert "published data\\pack.pak (3.0 MB)" in printed

    signed, results = verify((out / "manifesto.txt").read_bytes(), (keys / "first.pub.pem").read_bytes())
    assert results == [True]
    lines = signed.splitlines()
    blocks = [line for line in lines if line.startswith("BLOCOS")]
    assert len(blocks) == 1 and blocks[0].endswith(" data\\pack.pak"), "only files of 1 MB and more"
    assert lines[lines.index(blocks[0]) - 1].endswith(" data\\pack.pak"), "right after its ARQUIVO line"
    _, index_digest, index_size, _ = blocks[0].split(" ", 3)
    index = out / "objetos" / index_digest
    assert hashlib.sha256(index.read_bytes()).hexdigest() == index_digest and index.stat().st_size == int(index_size)
    assert index.read_bytes()[:8] == b"QRVBLOCO"
    written = index.stat().st_mtime_ns

    # The same pack again: its index is taken from the previous release, not cut again.
    (release / "small.txt").write_bytes(b"other")
    publish(release, out, "--version", "2", *sign)
    assert index.stat().st_mtime_ns == written
    assert "chunks new" not in capsys.readouterr().out

    # A changed pack: what a player of the previous release fetches.
    (release / "data" / "pack.pak").write_bytes(pack[:1_000_000] + rng.randbytes(30_000) + pack[1_000_000:])
    publish(release, out, "--version", "3", *sign, "--verbose")
    printed = capsys.readouterr().out
    assert re.search(r"data\\pack\.pak: \d+ of \d+ chunks new; a player of the previous release fetches (\d+\.\d KB) "
                     r"\(index included\) of 3\.0 MB", printed), printed
    patch = re.search(r"fetches (\d+\.\d KB) \(index", printed).group(1)
    assert (f"a player of the previous release fetches {patch} of 3.0 MB: 1 changed or new file(s), large ones as "
            "patches where they have a chunk index") in printed, "the whole update: the pack's patch alone"
    assert "wrote 3 object(s) into objetos/, 1 were there already" in printed
    publish_release.main(["prune", str(out), "--keep", "1"])
    named = (out / "manifesto.txt").read_text()
    index = next(line.split()[1] for line in named.splitlines() if line.startswith("BLOCOS"))
    records = publish_release.records_of(out / "objetos" / index)
    assert sorted(p.name for p in (out / "objetos").iterdir()) == sorted(
        re.findall(r"^(?:ARQUIVO|BLOCOS) ([0-9a-f]{64})", named, re.MULTILINE) + [records]), \
        "prune keeps what the manifests name, and the records their indexes name"

    publish(release, out, "--version", "4", *sign, "--min-chunked-size", "4")
    assert (out / "manifesto.txt").read_text().count("BLOCOS ") == 2

    every = tmp_path / "every"  # a first publication that cuts every file
    publish(release, every, "--version", "1", "--min-chunked-size", "0")
    listed = (every / "manifesto.txt").read_text()
    assert listed.count("BLOCOS ") == listed.count("ARQUIVO "), listed


@pytest.mark.parametrize("options", [
    ["--min-chunked-size", str(1 << 40)],  # copied as it is read
    ["--no-compressed"],                   # copied as it is read and cut into chunks
])
def test_objects_of_sparse_files_stay_sparse(tmp_path, options):
    """A pack of gigabytes of empty space takes no more room once published than in the release."""
    release = make_release(tmp_path / "release", {"a.bin": b"a"})
    with open(release / "sparse.pak", "wb") as sparse:
        sparse.seek(64 << 20)
        sparse.write(b"end")
    out = tmp_path / "out"
    publish(release, out, "--version", "1", *options)
    stored = out / "objetos" / hashlib.sha256((release / "sparse.pak").read_bytes()).hexdigest()
    assert stored.read_bytes() == (release / "sparse.pak").read_bytes()
    assert stored.stat().st_blocks * 512 < 1 << 20


def random_bytes(size, seed):
    import random
    return random.Random(seed).randbytes(size)


def compressible(size, seed):
    """Text-like bytes that compress to about a third, never repeating a long run."""
    import random
    rng = random.Random(seed)
    words = [bytes(rng.choices(b"abcdefghijklmnopqrstuvwxyz", k=rng.randint(2, 9))) for _ in range(3000)]
    return b" ".join(rng.choices(words, k=size // 5))[:size]


def frames_of(out, listed):
    """The frame index a QUADROS line names, its fields, and the compressed object's bytes."""
    index = (out / "objetos" / listed).read_bytes()
    fields = publish_release.index_fields(index)
    return index, fields, (out / "objetos" / fields["packed_digest"]).read_bytes()


def test_compressed_forms_are_frames_of_whole_chunks_each_decoding_alone(tmp_path, keys, capsys):
    from publisher.frames import chunk_lengths
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    noise = random_bytes(300_000, 5)
    files = {"pack.dat": compressible(1_500_000, 1), "noise.bin": noise,
             "mixed.bin": compressible(200_000, 2) + noise[:200_000] + compressible(100_000, 3),
             "small.txt": compressible(40_000, 4),  # one frame
             "barely.bin": random_bytes(300_000, 8) + compressible(12_000, 9)}  # saves less than its index costs
    release = make_release(tmp_path / "release", files)
    out = tmp_path / "out"
    publish(release, out, "--version", "1", "--frame-size", "65536", "--min-chunked-size", "1000000",
            "--sign", str(keys / "first.pem"))
    data = (out / "manifesto_completo.txt").read_bytes()
    signed, verdicts = verify(data, (keys / "first.pub.pem").read_bytes())
    assert verdicts == [True]
    lines = signed.splitlines()
    # Right after its ARQUIVO line, and after its BLOCOS line when it has one; none for a file that does not
    # shrink, or whose frame index would cost more than its form saves.
    assert [(line.split()[0], line.split()[-1]) for line in lines[2:11]] == [
        ("ARQUIVO", "barely.bin"), ("ARQUIVO", "mixed.bin"), ("QUADROS", "mixed.bin"), ("ARQUIVO", "noise.bin"),
        ("ARQUIVO", "pack.dat"), ("BLOCOS", "pack.dat"), ("QUADROS", "pack.dat"), ("ARQUIVO", "small.txt"),
        ("QUADRO", "small.txt")]
    _, one, one_size, _ = lines[10].split()
    one_frame = (out / "objetos" / one).read_bytes()
    assert sha(one_frame) == one and len(one_frame) == int(one_size) < 40_000
    assert zstandard.get_frame_parameters(one_frame).content_size == 40_000
    assert zstandard.ZstdDecompressor().decompress(one_frame) == files["small.txt"]
    stored = 0
    for line in (lines[4], lines[8]):
        _, listed, listed_size, name = line.split()
        original = files[name]
        index, fields, packed = frames_of(out, listed)
        assert sha(index) == listed and len(index) == int(listed_size) == 104 + 52 * fields["count"]
        assert (fields["magic"], fields["version"], fields["size"], fields["digest"]) == (
            b"QRVQUADR", 1, len(original), sha(original))
        assert fields["packed_digest"] == sha(packed) and fields["packed_size"] == len(packed) < len(original)
        assert fields["count"] == len(fields["frames"]) > 1
        seams, at = set(), 0
        for length in chunk_lengths(release / name):
            at += length
            seams.add(at)
        decoded, offset = b"", 0
        for frame in fields["frames"]:
            assert frame["offset"] == offset
            piece = packed[offset:offset + frame["length"]]
            assert sha(piece) == frame["digest"].hex()
            if frame["flags"] == 1:  # stored: the bytes as they are
                assert frame["length"] == frame["decoded"]
                stored += 1
                alone = piece
            else:
                parameters = zstandard.get_frame_parameters(piece)
                assert (parameters.content_size, parameters.dict_id) == (frame["decoded"], 0)
                assert frame["length"] < frame["decoded"]
                alone = zstandard.ZstdDecompressor().decompress(piece)
            assert alone == original[len(decoded):len(decoded) + frame["decoded"]], "each frame decodes alone"
            decoded += alone
            assert len(decoded) in seams, "a frame ends where a chunk does"
            offset += frame["length"]
        assert decoded == original and offset == len(packed)
        assert max(f["decoded"] for f in fields["frames"]) == fields["largest"] < 65536 + 65536
    assert stored > 0, "the noise in mixed.bin is stored as it is"
    printed = capsys.readouterr().out
    assert re.search(r"compressed forms: 3 of 5 file\(s\), 5 of them compressed anew; the release is 2\.[0-9] MB raw "
                     r"and [0-9.]+ [KM]B compressed \(0\.[0-9]{3}, frame indexes included", printed), printed

    # Nothing changed: nothing is compressed or written again.
    objects = {p.name: p.stat().st_mtime_ns for p in (out / "objetos").iterdir()}
    publish(release, out, "--version", "2", "--frame-size", "65536", "--min-chunked-size", "1000000",
            "--sign", str(keys / "first.pem"))
    printed = capsys.readouterr().out
    assert "wrote 0 object(s) into objetos/" in printed and "3 of 5 file(s), 0 of them compressed anew" in printed
    assert {p.name: p.stat().st_mtime_ns for p in (out / "objetos").iterdir()} == objects
    second = (out / "manifesto_completo.txt").read_text().splitlines()
    assert [line for line in second if line.startswith("QUADRO")] == [lines[4], lines[8], lines[10]]

    # prune keeps each frame index's compressed object with it, and the objects QUADRO lines name.
    publish_release.main(["prune", str(out), "--keep", "1"])
    assert {p.name for p in (out / "objetos").iterdir()} == set(objects)


def test_without_raw_objects_files_with_a_compressed_form_have_none(tmp_path, capsys):
    files = {"pack.dat": compressible(300_000, 1), "noise.bin": random_bytes(100_000, 6)}
    release = make_release(tmp_path / "release", files)
    out = tmp_path / "out"
    publish(release, out, "--version", "1", "--no-raw-objects")
    sha = lambda data: hashlib.sha256(data).hexdigest()  # noqa: E731
    assert not (out / "objetos" / sha(files["pack.dat"])).exists()
    assert (out / "objetos" / sha(files["noise.bin"])).read_bytes() == files["noise.bin"]
    assert (out / "pack.dat").read_bytes() == files["pack.dat"], "the path copy stays"
    quadros = [line for line in (out / "manifesto.txt").read_text().splitlines() if line.startswith("QUADROS")]
    assert len(quadros) == 1 and quadros[0].endswith(" pack.dat")
    assert frames_of(out, quadros[0].split()[1])[1]["size"] == 300_000
    assert ("no raw object for the 1 file(s) with a compressed form: only launchers that read frames can install "
            "this release by its objects") in capsys.readouterr().out


@pytest.mark.parametrize("options, refused", [
    (["--frame-size", "0"], "--frame-size must be from 1 to 4128768 bytes"),
    (["--frame-size", "4128769"], "--frame-size must be from 1 to 4128768 bytes"),
])
def test_frame_sizes_that_launchers_could_not_read_are_refused(tmp_path, options, refused):
    release = make_release(tmp_path / "release", {"a.bin": b"a"})
    with pytest.raises(SystemExit, match=refused):
        publish(release, tmp_path / "out", "--version", "1", *options)


HOUR_AGO_NS = 3600 * 10**9


def age(release):
    """Every file of the release an hour old: past the time stamp's resolution, so its record counts."""
    for path in release.rglob("*"):
        stamp = path.stat().st_mtime_ns - HOUR_AGO_NS
        os.utime(path, ns=(stamp, stamp))
    return release


@pytest.mark.parametrize("change, options, read, a_listed", [
    (None, [], set(), b"a" * 3000),                                   # nothing changed: nothing read
    ("new stamp", [], {"a.bin"}, b"A" * 3000),                        # same size, new time stamp: read
    ("stamp kept", [], set(), b"a" * 3000),                           # the record trusts size and stamp
    ("stamp kept", ["--verify"], {"a.bin", "b.bin", "big.pak"}, b"A" * 3000),  # --verify reads everything
])
def test_a_publication_reads_only_the_files_its_record_does_not_know(tmp_path, monkeypatch, change, options, read,
                                                                     a_listed):
    release = age(make_release(tmp_path / "release", {"a.bin": b"a" * 3000, "b.bin": b"b" * 10,
                                                      "big.pak": random.Random(1).randbytes(1 << 20)}))
    out = tmp_path / "out"
    publish(release, out, "--version", "1")
    stamp = (release / "a.bin").stat().st_mtime_ns
    if change:
        (release / "a.bin").write_bytes(b"A" * 3000)
        kept = stamp if change == "stamp kept" else stamp + 10**9
        os.utime(release / "a.bin", ns=(kept, kept))
    hashed = []
    for module, name in ((publisher.intake, "read_file"), (publisher.store, "sha256_of")):
        real = getattr(module, name)
        monkeypatch.setattr(module, name, lambda path, *more, real=real: (hashed.append(Path(path)),
                                                                          real(path, *more))[1])
    publish(release, out, "--version", "2", *options)
    named = {path.name for path in hashed if release in path.parents or path.parent == out}
    assert named == read
    listed = f"ARQUIVO {hashlib.sha256(a_listed).hexdigest()} 3000 a.bin"
    assert listed in (out / "manifesto.txt").read_text()


def test_files_published_on_every_processor_or_on_one_are_the_same(tmp_path, monkeypatch):
    rows = random.Random(2)
    release = make_release(tmp_path / "release", {
        **{f"data/{n}.txt": b"line %d\n" % n * rows.randrange(1, 4000) for n in range(40)},
        "big.pak": bytes(rows.randrange(4) for _ in range(3 << 20)), "same.pak": b"s" * 200000,
        "copy/same.pak": b"s" * 200000})

    def published(out):
        publish(release, out, "--version", "1")
        return {str(path.relative_to(out)): path.read_bytes() for path in sorted(out.rglob("*"))
                if path.is_file() and path.name != "fontes.json"}
    every = published(tmp_path / "every")
    monkeypatch.setattr(publisher.store, "PROCESSORS", 1)
    monkeypatch.setattr(publisher.store, "WRITERS", 1)
    assert published(tmp_path / "one") == every


@pytest.mark.parametrize("name, data", [
    ("small.bin", b"s" * 5000),                            # read whole, digested, then written
    ("large.pak", random.Random(3).randbytes(3 << 20)),   # streamed into its object as it is read, and cut
])
def test_each_file_is_read_once_into_its_object_and_an_object_there_is_never_rewritten(tmp_path, monkeypatch,
                                                                                       capsys, name, data):
    release = age(make_release(tmp_path / "release", {name: data, "other.txt": b"other"}))
    out = tmp_path / "out"
    reads = []
    real = publisher.intake.read_file
    monkeypatch.setattr(publisher.intake, "read_file", lambda path, *more: (reads.append(Path(path).name),
                                                                           real(path, *more))[1])
    publish(release, out, "--version", "1", "--no-compressed")
    stored = out / "objetos" / hashlib.sha256(data).hexdigest()
    assert stored.read_bytes() == data and stored.stat().st_mode & 0o777 == 0o444
    assert sorted(reads) == sorted([name, "other.txt"]), "each file read once"
    written = stored.stat().st_mtime_ns
    capsys.readouterr()

    # The same bytes under a new time stamp: read again, and its object is left as it was.
    os.utime(release / name, ns=(written - HOUR_AGO_NS // 2, written - HOUR_AGO_NS // 2))
    reads.clear()
    publish(release, out, "--version", "2", "--no-compressed")
    assert reads == [name]
    assert stored.stat().st_mtime_ns == written, "objects are never rewritten"
    assert "wrote 0 object(s) into objetos/" in capsys.readouterr().out
    assert not list(out.rglob(".publishing-*"))


def test_a_file_changed_after_it_was_listed_is_published_as_it_was_read(tmp_path, monkeypatch):
    """Its line, object and path copy all carry the bytes read, and the next publication reads it again."""
    release = age(make_release(tmp_path / "release", {"a.bin": b"a" * 3000, "big.pak": b"b" * (2 << 20)}))
    out = tmp_path / "out"
    real = publisher.intake.read_file
    changed = {"a.bin": b"A" * 4000, "big.pak": b"B" * (3 << 20)}

    def changed_first(path, *more):
        Path(path).write_bytes(changed[Path(path).name])  # a studio tool still writing the release
        return real(path, *more)
    monkeypatch.setattr(publisher.intake, "read_file", changed_first)
    publish(release, out, "--version", "1", "--no-compressed")
    listed = (out / "manifesto.txt").read_text()
    for name, data in changed.items():
        digest = hashlib.sha256(data).hexdigest()
        assert f"ARQUIVO {digest} {len(data)} {name}" in listed
        assert (out / "objetos" / digest).read_bytes() == data == (out / name).read_bytes()
    reads = []
    monkeypatch.setattr(publisher.intake, "read_file", lambda path, *more: (reads.append(Path(path).name),
                                                                           real(path, *more))[1])
    publish(release, out, "--version", "2", "--no-compressed")
    assert sorted(reads) == ["a.bin", "big.pak"], "the record did not vouch for what changed as it was read"
