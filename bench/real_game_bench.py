#!/usr/bin/env python3
"""A real game of thousands of files: SuperTuxKart's data (Debian's
supertuxkart-data, 5 249 files in 317 folders, about 719 MB), fetched from
Debian's archive with apt-get into build/bench-data (never into the
repository), published with the stub game and the build's launcher.exe, and
served by nginx on 127.0.0.1:

- a first install into an empty folder (RunUpdate, CONEXOES 6) beside curl
  fetching every file by its path, 6 in parallel and over one connection, and
  beside the write floor: a small Windows program under Wine that only writes
  the same files (bench/file_floor.cpp);
- the update of a release that changes a tenth of the files, beside its
  write floor and curl fetching the changed files;
- the first install again behind a 50 ms round trip (tools/latency_proxy.py),
  beside curl 6 in parallel through the same proxy;
- an up-to-date start's check (RunUpdate) beside the read floor, the digests
  of the same files one after the other divided by the processors, and
  sha256sum natively;
- the peak working set of the first install against the check's, beside
  what Wine's threads alone cost (file_floor threads: the working set an
  idle thread adds) times the threads the install has beyond the check's.

Runs alternate; figures are medians. Run through scripts/bench.sh, which
builds update_bench.exe and prepares Wine."""
import os
import shutil
import subprocess
import tempfile
import threading
import time
from pathlib import Path
from urllib.parse import quote

from update_bench import (BUILD, DATA, WINE_RUN, empty_folder, figure, median, print_ratio, run_bench, serve,
                          timed)

from install_bench import curl_seconds as curl_config_seconds
from latency_proxy import LatencyProxy  # noqa: E402 (update_bench puts tools/ on the path)
from local_nginx import stop_nginx  # noqa: E402

FLOOR = BUILD / "bench" / "file_floor.exe"
RTT = 0.05
CHANGED_EVERY = 10  # the update changes one file in ten

PACKAGE = "supertuxkart-data"
DATA_FOLDER = Path("usr/share/games/supertuxkart/data")
CONNECTIONS = 6
RUNS = 3


def corpus(package=PACKAGE, data_folder=DATA_FOLDER, name="stk"):
    """The package's data folder, extracted once into corpus-NAME, without its symbolic links."""
    root = DATA / f"corpus-{name}"
    data = root / "data"
    if data.is_dir():
        return data
    root.mkdir(parents=True, exist_ok=True)
    if not list(root.glob(f"{package}_*.deb")):
        subprocess.run(["apt-get", "download", package], cwd=root, check=True)
    deb = next(root.glob(f"{package}_*.deb"))
    subprocess.run(["dpkg-deb", "-x", str(deb), str(root / "x")], check=True)
    shutil.move(str(root / "x" / data_folder), str(data))
    shutil.rmtree(root / "x")
    for path in list(data.rglob("*")):
        if path.is_symlink():
            path.unlink()
    return data


def release_of(data, name="stk"):
    """The corpus as a release (release-NAME): its files, a game program (the runs never start it), and
    the launcher (a release of more than 4 096 files brings its own)."""
    release = DATA / f"release-{name}"
    if not release.is_dir():
        shutil.copytree(data, release, copy_function=os.link)
        (release / "client.exe").write_bytes(b"MZ")
        shutil.copy(BUILD / "launcher.exe", release / "launcher.exe")
    return release


class ThreadCount:
    """The most threads update_bench.exe's process had while the block ran (Wine's threads are the
    system's, so /proc counts them)."""

    def __enter__(self):
        self.most, self.done = 0, threading.Event()
        self.sampler = threading.Thread(target=self.sample)
        self.sampler.start()
        return self

    def sample(self):
        while not self.done.wait(0.05):
            found = subprocess.run(["pgrep", "-f", "update_bench.exe"], capture_output=True, text=True).stdout.split()
            for pid in found:
                try:
                    status = Path(f"/proc/{pid}/status").read_text()
                except OSError:
                    continue
                self.most = max(self.most, int(figure(r"Threads:\s+(\d+)", status)))

    def __exit__(self, *unused):
        self.done.set()
        self.sampler.join()


def peak_megabytes(output):
    return figure(r"peak working set: ([\d.]+) MB", output)


def curl_seconds(names, url, work, parallel):
    config = work / "curl.cfg"
    config.write_text("".join(f'url = "{url}{quote(n)}"\noutput = "{work}/curl/{n}"\n' for n in names))
    return curl_config_seconds(config, work, parallel)


def floor_seconds(mode, files, folder):
    """file_floor's seconds for files (path to size) in folder; write leaves them there."""
    listing = folder.parent / f"{folder.name}.list"
    listing.write_text("".join(f"{size} {name}\n" for name, size in files.items()))
    result = subprocess.run([str(WINE_RUN), str(FLOOR), mode, str(listing)], cwd=folder, capture_output=True,
                            text=True, check=True)
    listing.unlink()
    return figure(r"floor: \d+ files, ([\d.]+) s", result.stdout)


def first_install(sizes, url, work):
    names = sorted(sizes)
    print(f"first install of {len(names)} files at no added latency:")
    launchers, curls, ones, floors, peaks, threads = [], [], [], [], [], []
    for run in range(RUNS):
        empty_folder(work)
        with ThreadCount() as count:
            output = run_bench("fetch", url, str(CONNECTIONS), cwd=work, show=run == 0)
        launchers.append(figure(r"result 1, ([\d.]+) s", output))
        peaks.append(peak_megabytes(output))
        threads.append(count.most)
        curls.append(curl_seconds(names, url, work, CONNECTIONS))
        ones.append(curl_seconds(names, url, work, 0))
        empty_folder(work)
        floors.append(floor_seconds("write", sizes, work))
    print(f"  launcher, CONEXOES {CONNECTIONS}:      {median(launchers):7.1f} s (median)")
    print(f"  curl, {CONNECTIONS} in parallel:       {median(curls):7.1f} s (median)")
    print(f"  curl, one connection:      {median(ones):7.1f} s (median)")
    print(f"  write floor under Wine:    {median(floors):7.1f} s (median)")
    print_ratio(f"launcher / curl with {CONNECTIONS} in parallel", [a / b for a, b in zip(launchers, curls)])
    print_ratio("launcher / (write floor + curl in parallel) (goal at most 2)",
                [a / (f + c) for a, f, c in zip(launchers, floors, curls)])
    return median(peaks), max(threads)


def behind_latency(sizes, port, work):
    names = sorted(sizes)
    print(f"first install of {len(names)} files behind a {RTT * 1000:.0f} ms round trip:")
    with LatencyProxy(port, RTT, lifetime=3600) as proxy:
        launchers, curls = [], []
        for run in range(RUNS):
            empty_folder(work)
            output = run_bench("fetch", proxy.base_url, str(CONNECTIONS), cwd=work, show=run == 0)
            launchers.append(figure(r"result 1, ([\d.]+) s", output))
            curls.append(curl_seconds(names, proxy.base_url, work, CONNECTIONS))
    print(f"  launcher, CONEXOES {CONNECTIONS}:      {median(launchers):7.1f} s (median)")
    print(f"  curl, {CONNECTIONS} in parallel:       {median(curls):7.1f} s (median)")
    print_ratio(f"launcher / curl with {CONNECTIONS} in parallel (goal at most 1.15)",
                [a / b for a, b in zip(launchers, curls)])


def changed_release(release):
    """The release with one file in ten changed (a few bytes appended), as hard links but for those."""
    changed = DATA / "release-stk-tenth"
    if not changed.is_dir():
        shutil.copytree(release, changed, copy_function=os.link)
        files = sorted(p for p in changed.rglob("*") if p.is_file() and p.name not in ("launcher.exe", "client.exe"))
        for path in files[::CHANGED_EVERY]:
            data = path.read_bytes()
            path.unlink()
            path.write_bytes(data + b"changed in the next release\n")
    return changed


def linked_copy(release, game):
    for source in release.rglob("*"):
        if source.is_file():
            target = game / source.relative_to(release)
            target.parent.mkdir(parents=True, exist_ok=True)
            os.link(source, target)


def update_of_a_tenth(release, work):
    changed = changed_release(release)
    files = {str(p.relative_to(changed)): p.stat().st_size for p in changed.rglob("*")
             if p.is_file() and p.stat().st_ino != (release / p.relative_to(changed)).stat().st_ino}
    print(f"update of a release that changes {len(files)} files (one in {CHANGED_EVERY}):")
    server, port = serve(changed, "stk-tenth")
    url = f"http://127.0.0.1:{port}/"
    try:
        launchers, curls, floors = [], [], []
        for run in range(RUNS):
            empty_folder(work)
            linked_copy(release, work)
            output = run_bench("fetch", url, str(CONNECTIONS), cwd=work, show=run == 0)
            launchers.append(figure(r"result 1, ([\d.]+) s", output))
            curls.append(curl_seconds(sorted(files), url, work, CONNECTIONS))
            floors.append(floor_seconds("write", files, work))
        print(f"  launcher, CONEXOES {CONNECTIONS}:      {median(launchers):7.1f} s (median)")
        print(f"  curl, {CONNECTIONS} in parallel:       {median(curls):7.1f} s (median)")
        print(f"  write floor under Wine:    {median(floors):7.1f} s (median)")
        print_ratio("launcher / (write floor + curl in parallel) (goal at most 2)",
                    [a / (f + c) for a, f, c in zip(launchers, floors, curls)])
    finally:
        stop_nginx(server)


def up_to_date_start(release, url, crypto_api=False):
    print("up-to-date start's check" + (", digests through the CryptoAPI (QRV_BENCH_CRYPTOAPI):" if crypto_api else ":"))
    if crypto_api:
        os.environ["QRV_BENCH_CRYPTOAPI"] = "1"
    game = Path(tempfile.mkdtemp(dir=DATA))
    try:
        linked_copy(release, game)
        files = {str(p.relative_to(game)): p.stat().st_size for p in game.rglob("*") if p.is_file()}
        runs, digests, floors, peaks, threads = [], [], [], [], []
        for run in range(RUNS):
            with ThreadCount() as count:
                output = run_bench("check", url, cwd=game, show=run == 0)
            runs.append(figure(r"RunUpdate: +([\d.]+) s", output))
            peaks.append(peak_megabytes(output))
            threads.append(count.most)
            digests.append(figure(r"same files: *([\d.]+) s", output))
            floors.append(floor_seconds("read", files, game))
        native = timed(["bash", "-c", f"find '{game}' -type f -print0 | xargs -0 sha256sum"])
        processors = os.cpu_count()
        print(f"  RunUpdate:                  {median(runs):7.2f} s (median)")
        print(f"  digests, one thread:        {median(digests):7.2f} s (median)")
        print(f"  read floor under Wine:      {median(floors):7.2f} s (median)")
        print(f"  sha256sum natively:         {native:7.2f} s")
        print_ratio(f"RunUpdate / the larger of the read floor and (digests on one thread / {processors}"
                    " processors) (goal at most 1.3)",
                    [r / max(f, d / processors) for r, f, d in zip(runs, floors, digests)])
        return median(peaks), max(threads)
    finally:
        os.environ.pop("QRV_BENCH_CRYPTOAPI", None)
        shutil.rmtree(game)


def thread_megabytes():
    """What an idle thread adds to a process's working set under Wine."""
    result = subprocess.run([str(WINE_RUN), str(FLOOR), "threads", "10"], capture_output=True, text=True, check=True)
    return figure(r"([\d.]+) MB each", result.stdout)


def memory(install, check):
    (install_peak, install_threads), (check_peak, check_threads) = install, check
    each = thread_megabytes()
    extra = max(install_threads - check_threads, 0)
    print("peak working set, first install against the up-to-date check:")
    print(f"  first install: {install_peak:.1f} MB, {install_threads} threads at most")
    print(f"  check:         {check_peak:.1f} MB, {check_threads} threads at most")
    print(f"  difference:    {install_peak - check_peak:+.1f} MB (goal at most +8)")
    print(f"  of which Wine's threads at least: {extra} threads x {each:.2f} MB = {extra * each:.1f} MB "
          "(file_floor threads: an idle thread's working set)")


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    release = release_of(corpus())
    sizes = {str(p.relative_to(release)): p.stat().st_size for p in release.rglob("*") if p.is_file()}
    server, port = serve(release, "stk")
    url = f"http://127.0.0.1:{port}/"
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        install = first_install(sizes, url, work)
        update_of_a_tenth(release, work)
        behind_latency(sizes, port, work)
        check = up_to_date_start(release, url)
        up_to_date_start(release, url, crypto_api=True)
        memory(install, check)
    finally:
        shutil.rmtree(work)
        stop_nginx(server)


if __name__ == "__main__":
    main()
