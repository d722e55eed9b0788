#!/usr/bin/env python3
"""A real game of thousands of files: SuperTuxKart's data (Debian's
supertuxkart-data, 5 249 files in 317 folders, about 719 MB), fetched from
Debian's archive with apt-get into build/bench-data (never into the
repository), published with the stub game and the build's launcher.exe, and
served by nginx on 127.0.0.1:

- a first install into an empty folder (RunUpdate, CONEXOES 6) beside curl
  fetching every file by its path, 6 in parallel and over one connection;
- an up-to-date start's check (RunUpdate) beside the digests of the same files
  one after the other, divided by the processors, and sha256sum natively.

Runs alternate; figures are medians. Run through scripts/bench.sh, which
builds update_bench.exe and prepares Wine."""
import os
import shutil
import subprocess
import tempfile
from pathlib import Path
from urllib.parse import quote

from update_bench import BUILD, DATA, empty_folder, figure, median, print_ratio, run_bench, serve, timed

from install_bench import curl_seconds as curl_config_seconds
from local_nginx import stop_nginx  # noqa: E402 (update_bench puts tools/ on the path)

PACKAGE = "supertuxkart-data"
DATA_FOLDER = Path("usr/share/games/supertuxkart/data")
CONNECTIONS = 6
RUNS = 3


def corpus():
    """The package's data folder, extracted once, without its symbolic links."""
    root = DATA / "corpus-stk"
    data = root / "data"
    if data.is_dir():
        return data
    root.mkdir(parents=True, exist_ok=True)
    if not list(root.glob(f"{PACKAGE}_*.deb")):
        subprocess.run(["apt-get", "download", PACKAGE], cwd=root, check=True)
    deb = next(root.glob(f"{PACKAGE}_*.deb"))
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root / "x")], check=True)
    shutil.move(str(root / "x" / DATA_FOLDER), str(data))
    shutil.rmtree(root / "x")
    for path in list(data.rglob("*")):
        if path.is_symlink():
            path.unlink()
    return data


def release_of(data):
    """The corpus as a release: its files, a game program (the runs never start it), and the launcher
    (a release of more than 4 096 files brings its own)."""
    release = DATA / "release-stk"
    if not release.is_dir():
        shutil.copytree(data, release, copy_function=os.link)
        (release / "client.exe").write_bytes(b"MZ")
        shutil.copy(BUILD / "launcher.exe", release / "launcher.exe")
    return release


def curl_seconds(names, url, work, parallel):
    config = work / "curl.cfg"
    config.write_text("".join(f'url = "{url}{quote(n)}"\noutput = "{work}/curl/{n}"\n' for n in names))
    return curl_config_seconds(config, work, parallel)


def first_install(names, url, work):
    print(f"first install of {len(names)} files at no added latency:")
    launchers, curls, ones = [], [], []
    for run in range(RUNS):
        empty_folder(work)
        output = run_bench("fetch", url, str(CONNECTIONS), cwd=work, show=run == 0)
        launchers.append(figure(r"result 1, ([\d.]+) s", output))
        curls.append(curl_seconds(names, url, work, CONNECTIONS))
        ones.append(curl_seconds(names, url, work, 0))
    print(f"  launcher, CONEXOES {CONNECTIONS}:      {median(launchers):7.1f} s (median)")
    print(f"  curl, {CONNECTIONS} in parallel:       {median(curls):7.1f} s (median)")
    print(f"  curl, one connection:      {median(ones):7.1f} s (median)")
    print_ratio(f"launcher / curl with {CONNECTIONS} in parallel", [a / b for a, b in zip(launchers, curls)])


def up_to_date_start(release, url):
    print("up-to-date start's check:")
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        for source in release.rglob("*"):
            if source.is_file():
                target = game / source.relative_to(release)
                target.parent.mkdir(parents=True, exist_ok=True)
                os.link(source, target)
        runs, digests = [], []
        for run in range(RUNS):
            output = run_bench("check", url, cwd=game, show=run == 0)
            runs.append(figure(r"RunUpdate: +([\d.]+) s", output))
            digests.append(figure(r"same files: *([\d.]+) s", output))
        native = timed(["bash", "-c", f"find '{game}' -type f -print0 | xargs -0 sha256sum"])
        processors = os.cpu_count()
        print(f"  RunUpdate:                  {median(runs):7.2f} s (median)")
        print(f"  digests, one thread:        {median(digests):7.2f} s (median)")
        print(f"  sha256sum natively:         {native:7.2f} s")
        print_ratio(f"RunUpdate / (digests on one thread / {processors} processors)",
                    [r / (d / processors) for r, d in zip(runs, digests)])
    finally:
        shutil.rmtree(game)


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    release = release_of(corpus())
    names = sorted(str(p.relative_to(release)) for p in release.rglob("*") if p.is_file())
    server, port = serve(release, "stk")
    url = f"http://127.0.0.1:{port}/"
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        first_install(names, url, work)
        up_to_date_start(release, url)
    finally:
        shutil.rmtree(work)
        stop_nginx(server)


if __name__ == "__main__":
    main()
