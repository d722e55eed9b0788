"""The README's CDN guide, its commands run as they stand against a local
S3-compatible server (npm's s3rver on 127.0.0.1, installed by
scripts/install-deps.sh): with rclone and with the AWS CLI, each step uploads
what the guide says in its order and with its cache headers, a release that
drops a file loses that file's path copy on the server last, the short-lived
manifests get their lifetime, and a prune is mirrored."""
import hashlib
import os
import re
import subprocess
import sys
import urllib.request
from pathlib import Path
from urllib.parse import quote

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "tools"))
from publish_release import main as publish_release  # noqa: E402

SECTION = "## Hosting on a CDN or object storage"
S3RVER = SOURCE_DIR / "build" / "s3rver" / "node_modules" / ".bin" / "s3rver"
PREFIX = "quorvane/"  # the guide's bucket/quorvane
OBJECT = "public, max-age=31536000, immutable"
ORDER = ("objects", "paths", "manifests")  # what the guide's four upload steps bring, the fourth nothing new


def guide_commands(tool):
    """The section's commands of one tool, in order: its code lines."""
    text = (SOURCE_DIR / "README.md").read_text()
    section = text.split(SECTION + "\n", 1)[1].split("\n## ", 1)[0]
    return [line.strip() for line in section.splitlines() if line.startswith(f"    {tool} ")]


@pytest.fixture
def s3(tmp_path):
    """The server's address; a bucket named as in the guide."""
    if not S3RVER.exists():
        pytest.skip(f"no local S3 server: {S3RVER} is missing (scripts/install-deps.sh installs it)")
    (tmp_path / "s3").mkdir()
    server = subprocess.Popen([str(S3RVER), "-d", str(tmp_path / "s3"), "-a", "127.0.0.1", "-p", "0", "--silent",
                               "--configure-bucket", "bucket"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)
    try:
        banner = server.stdout.readline()
        while banner == "\n":  # it prints a blank line first
            banner = server.stdout.readline()
        listening = re.search(r"listening on 127\.0\.0\.1:(\d+)", banner)
        if not listening:
            pytest.skip(f"the local S3 server did not start: {banner.strip() or server.wait(timeout=10)}")
        yield f"http://127.0.0.1:{listening.group(1)}"
    finally:
        server.terminate()
        server.wait(timeout=10)


def tool_environment(tmp_path, url, studio):
    """Debian's aws and rclone, pointed at the local server and at nothing of this machine's own."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("AWS_", "RCLONE_"))}
    (tmp_path / "rclone.conf").write_text("")
    env.update(PATH="/usr/bin:" + env.get("PATH", ""), STUDIO=str(studio),
               AWS_ACCESS_KEY_ID="S3RVER", AWS_SECRET_ACCESS_KEY="S3RVER", AWS_DEFAULT_REGION="us-east-1",
               AWS_CONFIG_FILE=str(tmp_path / "no-aws-config"), AWS_SHARED_CREDENTIALS_FILE=str(tmp_path / "none"),
               RCLONE_CONFIG=str(tmp_path / "rclone.conf"), RCLONE_CONFIG_REMOTE_TYPE="s3",
               RCLONE_CONFIG_REMOTE_PROVIDER="Other", RCLONE_CONFIG_REMOTE_ENDPOINT=url,
               RCLONE_CONFIG_REMOTE_ACCESS_KEY_ID="S3RVER", RCLONE_CONFIG_REMOTE_SECRET_ACCESS_KEY="S3RVER")
    return env


def run(command, env, url):
    """A guide command as it stands; the AWS CLI is told the server's address (a studio's S3 needs none)."""
    if command.startswith("aws "):
        command = command.replace("aws ", f"aws --endpoint-url {url} ", 1)
    result = subprocess.run(["bash", "-c", command], env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"


def stored(url):
    """What the bucket holds under the guide's prefix: key -> (Cache-Control, MD5 of the bytes)."""
    with urllib.request.urlopen(f"{url}/bucket?list-type=2&prefix={PREFIX}") as listing:
        keys = re.findall(r"<Key>([^<]+)</Key>", listing.read().decode())
    held = {}
    for key in keys:
        with urllib.request.urlopen(f"{url}/bucket/{quote(key)}") as answer:
            held[key[len(PREFIX):]] = (answer.headers["Cache-Control"], hashlib.md5(answer.read()).hexdigest())
    return held


def published(out):
    """What OUT holds for the server: key -> (kind, Cache-Control the guide gives it, MD5)."""
    files = {}
    for path in out.rglob("*"):
        key = path.relative_to(out).as_posix()
        if not path.is_file() or key.startswith("publicados/"):
            continue
        kind = "objects" if key.startswith("objetos/") else "manifests" if key.startswith("manifesto") else "paths"
        files[key] = (kind, OBJECT if kind == "objects" else "no-cache", hashlib.md5(path.read_bytes()).hexdigest())
    return files


def upload(commands, out, env, url):
    """The guide's four steps; after each, the server holds exactly what the steps so far bring."""
    for step, command in enumerate(commands, 1):
        expected = stored(url)
        run(command, env, url)
        local = published(out)
        expected.update({key: (cache, md5) for key, (kind, cache, md5) in local.items() if kind in ORDER[:step]})
        if step == 4:  # the sync mirrors the path copies the publisher removed
            expected = {key: held for key, held in expected.items() if key in local}
        assert stored(url) == expected, f"after step {step}: {command}"


def make_release(release, files):
    for relative, data in files.items():
        (release / relative).parent.mkdir(parents=True, exist_ok=True)
        (release / relative).write_bytes(data)


@pytest.mark.parametrize("tool", ["rclone", "aws"])
def test_the_guides_commands_upload_in_order_with_their_headers_and_mirror_what_goes(tmp_path, s3, tool):
    commands = guide_commands(tool)
    if tool == "aws":
        assert any(c.startswith("aws cloudfront create-invalidation") for c in commands), "the purge's command"
        commands = [c for c in commands if c.startswith("aws s3 ")]  # no CloudFront here
    assert len(commands) == 6, commands
    uploads, short_lived, prune_mirror = commands[:4], commands[4], commands[5]
    studio, release = tmp_path / "studio", tmp_path / "release"
    out = studio / "published"
    env = tool_environment(tmp_path, s3, studio)
    config = ["--write-config", "https://cdn.example.com/quorvane/"]

    make_release(release, {"client.exe": b"game", "data/a.pak": b"a" * 5000, "data/old/dropped.pak": b"gone"})
    publish_release([str(release), str(out), "--version", "1", *config])
    upload(uploads, out, env, s3)

    (release / "data" / "a.pak").write_bytes(b"A" * 5000)
    (release / "data" / "old" / "dropped.pak").unlink()
    publish_release([str(release), str(out), "--version", "2", *config])
    assert not (out / "data" / "old").exists()
    upload(uploads, out, env, s3)
    assert "data/old/dropped.pak" not in stored(s3)
    assert f"objetos/{hashlib.sha256(b'gone').hexdigest()}" in stored(s3), "objects stay until prune"

    run(short_lived, env, s3)
    held = stored(s3)
    assert [held[m][0] for m in ("manifesto.txt", "manifesto_completo.txt")] == ["max-age=60"] * 2

    publish_release(["prune", str(out), "--keep", "1"])
    run(prune_mirror, env, s3)
    objects = {key for key in stored(s3) if key.startswith("objetos/")}
    assert objects == {key for key in published(out) if key.startswith("objetos/")}
