#!/usr/bin/env python3
"""Benchmarks of the update engine against what the machine allows, each
figure next to a baseline measured in the same run: digests (against CryptoAPI
fed from memory, sha256sum and openssl), the check phase of a current release
of 2 000 files (against the digests alone), downloads from nginx on 127.0.0.1
(against curl; the bare read loop against plain synchronous reads too), and
peak memory. Each ratio is the median of five alternating runs of
the figure and its baseline, printed with its spread: these machines are
noisy, and one run alone can be off by half. Run through scripts/bench.sh,
which builds and prepares Wine. Data lands in build/bench-data (about 3.3 GB, kept between
runs)."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build"
WINE_RUN = ROOT / "cmake" / "wine-run.sh"
DATA = BUILD / "bench-data"
BENCH = BUILD / "bench" / "update_bench.exe"
sys.path.insert(0, str(ROOT / "tools"))
from local_nginx import start_nginx, stop_nginx  # noqa: E402
from publish_release import keygen, publish  # noqa: E402

MB = 1 << 20
RUNS = 5


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def make_file(path, size):
    if path.exists() and path.stat().st_size == size:
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as file:
        for start in range(0, size, 16 * MB):
            file.write(os.urandom(min(16 * MB, size - start)))


def make_release(folder, count, low, high, seed):
    rng = random.Random(seed)
    for i in range(count):
        make_file(folder / f"data{i % 20:02d}" / f"file{i:04d}.bin", rng.randint(low, high))


def run_bench(*arguments, cwd, show=True):
    """Runs update_bench; answers its output, printed unless show is false."""
    result = subprocess.run([str(WINE_RUN), str(BENCH), *arguments], cwd=cwd, capture_output=True, text=True)
    if show:
        print(result.stdout.rstrip())
    if result.returncode != 0:
        print(result.stderr[-2000:])
        raise SystemExit(f"update_bench {arguments[0]} failed")
    return result.stdout


def figure(pattern, output):
    """The number that pattern's group captures in a benchmark's output."""
    found = re.search(pattern, output)
    if not found:
        raise SystemExit(f"no figure for {pattern!r} in:\n{output}")
    return float(found.group(1))


def median(values):
    return sorted(values)[len(values) // 2]


def print_ratio(what, ratios):
    ratios = sorted(ratios)
    print(f"  {what}: {median(ratios):.2f} (median of {len(ratios)} alternating runs,"
          f" spread {ratios[0]:.2f} to {ratios[-1]:.2f})")


def empty_folder(folder, keep=None):
    for old in folder.iterdir():
        if old != keep:
            shutil.rmtree(old) if old.is_dir() else old.unlink()


def timed(command):
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.monotonic() - start


def digest_bench():
    big = DATA / "big-1g.bin"
    make_file(big, 1024 * MB)
    run_bench("digest", windows_path(big), cwd=DATA)
    for name, command in (("sha256sum", ["sha256sum", str(big)]), ("openssl", ["openssl", "dgst", "-sha256", str(big)])):
        print(f"  {name + ':':26}{1024 / timed(command):7.1f} MB/s (native, for context)")


def serve(release, name, **publishing):
    """The release published once into served-NAME (publish's options in publishing: the folder's name
    must say them), served by nginx."""
    served = DATA / f"served-{name}"
    if not (served / "manifesto.txt").exists():
        shutil.rmtree(served, ignore_errors=True)
        publish(release, served, "bench", no_config=True, **publishing)
    return start_nginx(served, DATA / f"nginx-{name}")


def current_game(release):
    """A game folder that holds the release's files as they are served."""
    game = Path(tempfile.mkdtemp(dir=DATA))
    for source in release.rglob("*.bin"):
        target = game / source.relative_to(release)
        target.parent.mkdir(parents=True, exist_ok=True)
        os.link(source, target)  # the same bytes, no copy
    return game


def served_current_game():
    """The 2 000-file release served by nginx, and a game folder that holds it."""
    release = DATA / "release-1g"
    make_release(release, 2000, 16 * 1024, 1008 * 1024, seed=1)
    server, port = serve(release, "1g")
    return server, port, current_game(release)


def check_bench():
    server, port, game = served_current_game()
    try:
        ratios = []
        for run in range(RUNS):  # each run times RunUpdate, then the digests alone
            output = run_bench("check", f"http://127.0.0.1:{port}/", cwd=game, show=run == 0)
            ratios.append(figure(r"RunUpdate: +([\d.]+) s", output) / figure(r"same files: *([\d.]+) s", output))
        print_ratio("RunUpdate / digests alone", ratios)
    finally:
        shutil.rmtree(game)
        stop_nginx(server)


def many_files_bench(count=100_000):
    """The peak working set of an up-to-date run over a manifest of 100 000 small files, against 24 MB
    and what the manifest's entries need (56 bytes each, and each path with its terminator)."""
    release = DATA / "release-many"
    make_release(release, count - 1, 16, 64, seed=3)
    shutil.copy(BUILD / "launcher.exe", release / "launcher.exe")  # a release beyond 4 096 files brings its own
    server, port = serve(release, "many")
    game = current_game(release)
    os.link(release / "launcher.exe", game / "launcher.exe")
    try:
        output = run_bench("update", f"http://127.0.0.1:{port}/", cwd=game)
        paths = sum(len(str(path.relative_to(release))) + 1 for path in release.rglob("*") if path.is_file())
        entries = (count * 56 + paths) / MB
        peak = figure(r"peak working set: ([\d.]+) MB", output)
        print(f"  the entries need {entries:.1f} MB: 24 MB and they make {24 + entries:.1f} MB, against a peak of "
              f"{peak:.1f} MB")
    finally:
        stop_nginx(server)
        shutil.rmtree(game)


def download_bench():
    """The bare asynchronous read loop (what every transfer's reads cost)
    against plain synchronous 256 KB reads, which no bound holds, and curl;
    then DownloadFile of the same 256 MB file against curl writing it too;
    then a fetch of 2 000 small files against curl fetching the same URLs."""
    release = DATA / "release-read"
    make_file(release / "big-256m.bin", 256 * MB)
    server, port = serve(release, "read")
    url = f"http://127.0.0.1:{port}/"
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        async_rates, sync_rates, curls, reads = [], [], [], []
        for run in range(RUNS):
            output = run_bench("read", url + "big-256m.bin", "async", cwd=DATA, show=run == 0)
            async_rates.append(figure(r"([\d.]+) MB/s", output))
            reads.append(figure(r"(\d+) reads", output))
            output = run_bench("read", url + "big-256m.bin", "sync", cwd=DATA, show=run == 0)
            sync_rates.append(figure(r"([\d.]+) MB/s", output))
            curls.append(256 / timed(["curl", "-s", "-o", "/dev/null", url + "big-256m.bin"]))
        print(f"  curl -o /dev/null:        {median(curls):7.1f} MB/s (median)")
        print_ratio("asynchronous / synchronous 256 KB", [a / s for a, s in zip(async_rates, sync_rates)])
        print_ratio("asynchronous / curl", [a / c for a, c in zip(async_rates, curls)])

        ratios, curls = [], []
        for run in range(RUNS):
            empty_folder(work)  # nothing to resume from
            output = run_bench("download", url, "big-256m.bin", cwd=work, show=run == 0)
            curls.append(256 / timed(["curl", "-s", "-o", str(work / "curl.bin"), url + "big-256m.bin"]))
            ratios.append(figure(r"([\d.]+) MB/s", output) / curls[-1])
        print(f"  curl of the same file:    {median(curls):7.1f} MB/s (median)")
        print_ratio("launcher / curl", ratios)
        # What each read costs beside the read and the write, as a share of the download.
        each = figure(r"detail line and bar ([\d.]+) us", run_bench("progress", cwd=DATA))
        download_seconds = 256 / (median(ratios) * median(curls))
        print(f"  progress of each read:    {each:7.2f} us, {median(reads):.0f} reads:"
              f" {each * median(reads) / 1e6 / download_seconds * 100:.2f} % of the download")
    finally:
        shutil.rmtree(work)
        stop_nginx(server)

    release = DATA / "release-small"
    make_release(release, 2000, 4 * 1024, 64 * 1024, seed=2)
    server, port = serve(release, "small")
    url = f"http://127.0.0.1:{port}/"
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        names = [str(p.relative_to(release)) for p in sorted(release.rglob("*.bin"))]
        config = work / "curl.cfg"
        config.write_text("".join(f'url = "{url}{n}"\noutput = "{work}/curl/{n}"\n' for n in names))
        ratios, curls = [], []
        for run in range(RUNS):  # each run starts from an empty folder
            empty_folder(work, keep=config)
            output = run_bench("fetch", url, cwd=work, show=run == 0)
            curls.append(len(names) / timed(["curl", "-s", "--create-dirs", "-K", str(config)]))
            ratios.append(figure(r"([\d.]+) files/s", output) / curls[-1])
        print(f"  curl, one process, same URLs: {median(curls):7.0f} files/s (median)")
        print_ratio("launcher / curl", ratios)
    finally:
        shutil.rmtree(work)
        stop_nginx(server)


def signature_bench():
    """What the check of a signed manifest adds to a run: 2 000 files, one RSA 3072 key."""
    key = DATA / "keys" / "bench"
    if not key.with_suffix(".pub.pem").exists():
        keygen(str(key))
    signed = DATA / "served-signed"
    shutil.rmtree(signed, ignore_errors=True)
    publish(DATA / "release-small", signed, "bench", sign=[str(key) + ".pem"], no_config=True)
    run_bench("verify", windows_path(signed / "manifesto.txt"), windows_path(str(key) + ".pub.pem"), cwd=DATA)


LINE_100_MBIT = 12_500_000  # bytes a second


def manifest_bench():
    """The manifest on an up-to-date start of the 100 000-file release: asked whole as before, and asked
    again with the validator kept beside the copy (nginx answers 304): its time, from nginx on loopback
    and at 100 Mbit/s, and the bytes received."""
    stop_nginx(serve(DATA / "release-many", "many")[0])  # published once, as many_files_bench has it
    served = DATA / "served-many"
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        for line, rate in (("loopback", 0), ("100 Mbit/s", LINE_100_MBIT)):
            server, port = start_nginx(served, DATA / "nginx-manifest", rate=rate)
            url = f"http://127.0.0.1:{port}/"
            try:
                ratios = []
                for run in range(RUNS):
                    output = run_bench("manifest", url, cwd=work, show=run == 0)
                    ratios.append(figure(r"revalidated +([\d.]+) s", output) / figure(r"whole +([\d.]+) s", output))
                print_ratio(f"manifest revalidated / asked whole, {line}", ratios)
            finally:
                stop_nginx(server)
        server, port = start_nginx(served, DATA / "nginx-manifest")
        url = f"http://127.0.0.1:{port}/manifesto.txt"
        etag = subprocess.run(["curl", "-sI", url], capture_output=True, text=True).stdout
        etag = re.search(r"(?im)^etag: (.+?)\r?$", etag).group(1)
        sizes = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{size_header} %{size_download}",
                                "-H", f"If-None-Match: {etag}", url], capture_output=True, text=True).stdout.split()
        stop_nginx(server)
        whole = (served / "manifesto.txt").stat().st_size
        print(f"  bytes received for the manifest: {whole} asked whole, {int(sizes[1]) + int(sizes[2])} "
              f"revalidated (HTTP {sizes[0]}, headers only)")
    finally:
        shutil.rmtree(work)


def startup_bench(runs=5):
    """Process start to the first frame (the window appears with it) and to the
    game's start, for an up-to-date small release."""
    release = DATA / "release-tiny"
    if not release.exists():
        release.mkdir(parents=True)
        shutil.copy(BUILD / "tests" / "stub_game.exe", release / "client.exe")
        make_file(release / "data" / "a.pak", 200 * 1024)
    server, port = serve(release, "tiny")
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        for source in release.rglob("*"):
            if source.is_file():
                (game / source.relative_to(release)).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(source, game / source.relative_to(release))
        shutil.copy(BUILD / "launcher.exe", game / "launcher.exe")
        (game / "launcher.cfg").write_text(f"URL_BASE http://127.0.0.1:{port}/\n")
        record = game / "stub_game_record.txt"
        to_window, to_game = [], []
        for _ in range(runs):
            record.unlink(missing_ok=True)
            start = time.monotonic()
            process = subprocess.Popen([str(WINE_RUN), "launcher.exe"], cwd=game)
            while subprocess.run(["xdotool", "search", "--name", "^Quorvane$"], capture_output=True).returncode:
                time.sleep(0.005)
            to_window.append(time.monotonic() - start)
            while not record.exists():
                time.sleep(0.005)
            to_game.append(time.monotonic() - start)
            process.wait()
        print(f"start-up of an up-to-date run ({runs} runs, medians):")
        print(f"  process start to first frame: {sorted(to_window)[runs // 2] * 1000:6.0f} ms")
        print(f"  process start to game start:   {sorted(to_game)[runs // 2] * 1000:6.0f} ms"
              " (the bar eases to full and must stay 0.45 s)")
    finally:
        shutil.rmtree(game)
        stop_nginx(server)


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    digest_bench()
    check_bench()
    many_files_bench()
    manifest_bench()
    download_bench()
    signature_bench()
    startup_bench()


if __name__ == "__main__":
    main()
