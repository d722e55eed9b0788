#!/usr/bin/env python3
"""The launcher's main job on a sample release: publishes it, serves it with
nginx on 127.0.0.1, runs build/launcher.exe under Wine in a fresh game folder
(build/demo/game) twice, and prints what happened. Then the same with signed
manifests: a release signed with the demo's key for the launcher that
scripts/demo.sh built with it (build/demo-signed), and a manifest changed on
the way that the launcher refuses while the game still starts. Run through
scripts/demo.sh, which makes the key, builds and prepares Wine."""
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from local_nginx import access_log, start_nginx, stop_nginx  # noqa: E402
from publish_release import publish, sha256_of  # noqa: E402

BUILD = ROOT / "build"
WINE_RUN = ROOT / "cmake" / "wine-run.sh"
DEMO = BUILD / "demo"
SIGNED_LAUNCHER = BUILD / "demo-signed" / "launcher.exe"
DEMO_KEY = DEMO / "keys" / "studio.pem"


def make_sample_release(release, port):
    """The stub game and data files, with the launcher.cfg that installed players go by."""
    files = {
        "launcher.cfg": f"URL_BASE http://127.0.0.1:{port}/\r\nEXECUTAVEL client.exe\r\n".encode(),
        "client.exe": (BUILD / "tests" / "stub_game.exe").read_bytes(),
        "readme.txt": b"Quorvane sample release\r\n",
        "data/textures.pack": bytes((i * 31 + 7) & 0xFF for i in range(400_000)),
        "data/maps/harbour town.map": b"harbour" * 5000,
    }
    for relative, data in files.items():
        path = release / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def run_launcher(game):
    log = game / "launcher.log"
    before = log.read_text(encoding="latin-1").splitlines() if log.exists() else []
    code = subprocess.run([str(WINE_RUN), "launcher.exe"], cwd=game).returncode
    lines = log.read_text(encoding="latin-1").splitlines()[len(before):]
    return code, lines


def report(title, code, lines, game):
    print(f"\n== {title}: launcher.exe exited with code {code}")
    print("   launcher.log (this run):")
    for line in lines:
        print("     " + line)
    record = game / "stub_game_record.txt"
    deadline = time.monotonic() + 5  # the launcher does not wait for the game
    while not record.exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    print("   game started: " + ("yes" if record.exists() else "no"))
    if record.exists():
        record.unlink()


def fresh_game(name, launcher, port):
    game = DEMO / name
    game.mkdir(parents=True)
    (game / "launcher.exe").write_bytes(launcher.read_bytes())
    (game / "launcher.cfg").write_text(f"URL_BASE http://127.0.0.1:{port}/\n")
    return game


def unsigned_road(port):
    game = fresh_game("game", BUILD / "launcher.exe", port)
    print(f"\ndemo: serving build/demo/served on http://127.0.0.1:{port}/; game folder build/demo/game")
    code, lines = run_launcher(game)
    report("first run (empty game folder)", code, lines, game)
    fetched = [r["request"].split()[1] for r in access_log(DEMO / "nginx") if r["request"].startswith("GET")]
    print("   files fetched: " + ", ".join(fetched))
    code, lines = run_launcher(game)
    report("second run (folder up to date)", code, lines, game)


def signed_road(port):
    """The studio's launcher checks signatures: a signed release updates, a changed manifest is refused."""
    game = fresh_game("signed-game", SIGNED_LAUNCHER, port)
    (DEMO / "release" / "launcher.exe").write_bytes(SIGNED_LAUNCHER.read_bytes())
    publish(DEMO / "release", DEMO / "served", "1.0.43", sign=[str(DEMO_KEY)])
    print("\ndemo: the same release signed with build/demo/keys/studio.pem, for build/demo-signed/launcher.exe;"
          " game folder build/demo/signed-game")
    code, lines = run_launcher(game)
    report("signed release", code, lines, game)
    print("   launcher.serie: " + (game / "launcher.serie").read_text().strip())

    manifest = DEMO / "served" / "manifesto.txt"
    (DEMO / "served" / "launcher.exe").write_bytes(b"MZ someone else's program")
    manifest.write_bytes(manifest.read_bytes().replace(sha256_of(SIGNED_LAUNCHER).encode(),
                                                       sha256_of(DEMO / "served" / "launcher.exe").encode()))
    code, lines = run_launcher(game)
    report("manifest changed on the way (another launcher.exe, the old signature)", code, lines, game)
    same = (game / "launcher.exe").read_bytes() == SIGNED_LAUNCHER.read_bytes()
    print("   launcher.exe unchanged: " + ("yes" if same else "NO"))


def main():
    for folder in ("release", "served", "nginx", "game", "signed-game"):
        subprocess.run(["rm", "-rf", str(DEMO / folder)], check=True)
    (DEMO / "served").mkdir(parents=True)
    server, port = start_nginx(DEMO / "served", DEMO / "nginx")  # first: the release's launcher.cfg names its port
    try:
        make_sample_release(DEMO / "release", port)
        publish(DEMO / "release", DEMO / "served", "1.0.42")
        unsigned_road(port)
        signed_road(port)
    finally:
        stop_nginx(server)


if __name__ == "__main__":
    main()
