"""The README's CDN guide, its commands run as they stand against the local
S3-compatible server its next section starts (npm's s3rver, installed and
mended by scripts/install-deps.sh to page and order listings as S3 does):
with rclone and with the AWS CLI, on a release of more than a listing's page
of objects that holds a file and a folder of one stem, each step uploads what
the guide says in its order and with its cache headers, a release that drops
a file loses that file's path copy on the server last, the short-lived
manifests get their lifetime, a prune is mirrored, and a failed step stops
the upload before the manifests."""
import hashlib
import http.client
import os
import re
import shlex
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import quote, urlsplit

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "tools"))
from publish_release import main as publish_release  # noqa: E402

SECTION = "## Hosting on a CDN or object storage"
LOCAL_SECTION = "## Trying the upload on a local S3 server"
S3RVER = SOURCE_DIR / "build" / "s3rver" / "node_modules" / ".bin" / "s3rver"
GUIDE_PORT = "4568"  # the local section's; the test takes a free one
PREFIX = "quorvane/"  # the guide's bucket/quorvane
OBJECT = "public, max-age=31536000, immutable"
ORDER = ("objects", "paths", "manifests")  # what the guide's four upload steps bring, the fourth nothing new
SPRITES = 1000  # with the release's other files, more objects than a listing's page of 1 000 keys
CHAIN = re.compile(r" (&&|\|\|)$")


def section_code(title):
    """The code lines of one README section, unindented."""
    text = (SOURCE_DIR / "README.md").read_text()
    section = text.split(title + "\n", 1)[1].split("\n## ", 1)[0]
    return [line[4:] for line in section.splitlines() if line.startswith("    ")]


def guide_commands(tool):
    """The CDN section's commands of one tool, in order, each without the && or || that chains it."""
    return [CHAIN.sub("", line) for line in section_code(SECTION) if line.startswith(f"{tool} ")]


def upload_chain(tool):
    """The four upload steps of one tool as the guide writes them: one command that stops at a failure."""
    lines = section_code(SECTION)
    first = next(i for i, line in enumerate(lines) if line.startswith(f"{tool} "))
    last = next(i for i in range(first, len(lines)) if not CHAIN.search(lines[i]))
    return "\n".join(lines[first:last + 1])


def local_commands():
    """The local section's commands: the server, the credentials, the rclone remote, the two listings."""
    return section_code(LOCAL_SECTION)


@pytest.fixture
def s3(tmp_path):
    """The server as the local section starts it, on a free port; answers its address."""
    if not S3RVER.exists():
        pytest.skip(f"no local S3 server: {S3RVER} is missing (scripts/install-deps.sh installs it)")
    command = local_commands()[0]
    assert command.startswith("build/s3rver/") and f" -p {GUIDE_PORT} " in command, command
    env = dict(os.environ, STUDIO=str(tmp_path / "studio"))
    log = tmp_path / "s3rver.log"
    with open(log, "wb") as output:
        server = subprocess.Popen(["bash", "-c", "exec " + command.replace(f" -p {GUIDE_PORT} ", " -p 0 ")],
                                  cwd=SOURCE_DIR, env=env, stdout=output, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 30
        while not (listening := re.search(r"listening on 127\.0\.0\.1:(\d+)", log.read_text())):
            if server.poll() is not None or time.monotonic() > deadline:
                pytest.skip(f"the local S3 server did not start: {log.read_text().strip()}")
            time.sleep(0.1)
        yield f"http://127.0.0.1:{listening.group(1)}"
    finally:
        server.terminate()
        server.wait(timeout=10)


def at(command, url):
    """A guide command pointed at the test's server: its address for the guide's, and the AWS CLI told
    it, as the local section says (right after aws)."""
    command = command.replace(f"http://127.0.0.1:{GUIDE_PORT}", url)
    return re.sub(r"(?m)^aws (?!--endpoint-url)", f"aws --endpoint-url {url} ", command)


def tool_environment(tmp_path, url, studio):
    """Debian's aws and rclone, set up as the local section says and pointed at nothing of this
    machine's own."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("AWS_", "RCLONE_"))}
    env.update(PATH="/usr/bin:" + env.get("PATH", ""), STUDIO=str(studio), RCLONE_CONFIG=str(tmp_path / "rclone.conf"),
               AWS_CONFIG_FILE=str(tmp_path / "no-aws-config"), AWS_SHARED_CREDENTIALS_FILE=str(tmp_path / "none"))
    _, credentials, remote = local_commands()[:3]
    assert credentials.startswith("export ") and remote.startswith("rclone config create remote ")
    env.update(assignment.split("=", 1) for assignment in shlex.split(credentials)[1:])
    run(remote, env, url)
    return env


def run(command, env, url):
    """A guide command as it stands, at the test's server; answers what it printed."""
    result = subprocess.run(["bash", "-c", at(command, url)], env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, f"{command}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result.stdout


HEADERS = {}  # (server, key, ETag, Last-Modified) -> Cache-Control: a key is asked again once written anew


def stored(url):
    """What the bucket holds under the guide's prefix, every page of the listing: key -> (Cache-Control,
    MD5 of the bytes, which the ETag of a single-part upload is)."""
    server = http.client.HTTPConnection(urlsplit(url).hostname, urlsplit(url).port, timeout=30)
    listed, token = [], None
    while True:
        server.request("GET", f"/bucket?list-type=2&prefix={PREFIX}" + (f"&continuation-token={quote(token)}"
                                                                        if token else ""))
        answer = server.getresponse()
        page = answer.read().decode()
        assert answer.status == 200, f"the bucket's listing: {answer.status} {page}"
        listed += re.findall(r"<Key>([^<]+)</Key><LastModified>([^<]+)</LastModified><ETag>&quot;([0-9a-f]+)&quot;",
                             page)
        token = next(iter(re.findall(r"<NextContinuationToken>([^<]+)</NextContinuationToken>", page)), None)
        if "<IsTruncated>true</IsTruncated>" not in page:
            break
        assert token, page
    held = {}
    for key, modified, etag in listed:
        seen = (url, key, etag, modified)
        if seen not in HEADERS or key.startswith(PREFIX + "manifesto"):  # sent again within a second, other headers
            server.request("HEAD", f"/bucket/{quote(key)}")
            answer = server.getresponse()
            answer.read()
            HEADERS[seen] = answer.headers["Cache-Control"]
        held[key[len(PREFIX):]] = (HEADERS[seen], etag)
    server.close()
    assert len(held) == len(listed), "each key listed once"
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


def game_files():
    """More objects than a listing's page, and a file and a folder of one stem: S3 lists "ui.png" before
    "ui/button.png" ("." before "/"), and a sync that met them the other way round would delete the file."""
    files = {f"data/sprites/s{i:04}.png": b"sprite %d" % i for i in range(SPRITES)}
    files.update({"client.exe": b"game", "data/a.pak": b"a" * 5000, "data/old/dropped.pak": b"gone",
                  "data/ui.png": b"ui", "data/ui/button.png": b"button"})
    return files


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

    make_release(release, game_files())
    publish_release([str(release), str(out), "--version", "1", *config])
    assert len(list((out / "objetos").iterdir())) > 1000
    upload(uploads, out, env, s3)

    (release / "data" / "a.pak").write_bytes(b"A" * 5000)
    (release / "data" / "ui.png").write_bytes(b"UI")
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
    held = stored(s3)
    objects = {key for key in held if key.startswith("objetos/")}
    assert objects == {key for key in published(out) if key.startswith("objetos/")}

    listing = next(c for c in local_commands() if c.startswith(f"{tool} ") and " ls" in c)
    listed = run(listing, env, s3).split()
    assert {PREFIX + key if tool == "aws" else key for key in held} <= set(listed), "the local section's listing"


@pytest.mark.parametrize("tool", ["rclone", "aws"])
def test_a_failed_step_stops_the_upload_before_the_manifests_and_says_so(tmp_path, s3, tool):
    studio, release = tmp_path / "studio", tmp_path / "release"
    out = studio / "published"
    env = tool_environment(tmp_path, s3, studio)
    make_release(release, {"client.exe": b"game", "data/a.pak": b"a" * 5000})
    publish_release([str(release), str(out), "--version", "1", "--write-config", "https://cdn.example.com/quorvane/"])
    (out / "objetos").rename(studio / "objects-elsewhere")  # the first step fails; the third alone would not

    result = subprocess.run(["bash", "-c", at(upload_chain(tool), s3)], env=env, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode != 0, result.stdout
    assert result.stderr.rstrip().endswith(
        "upload stopped: the command above failed; run the four again once it is mended"), result.stderr
    assert stored(s3) == {}, "nothing after the failed step ran: no manifest names objects the bucket lacks"
