#!/usr/bin/env python3
"""A first install of 2 000 files of 16 KB (an empty game folder brought up to
date by RunUpdate), with the files fetched CONEXOES at a time:

- at a 50 ms round trip (nginx behind tools/latency_proxy.py), beside curl
  over one kept-alive connection and curl with as many transfers in parallel;
- at no added latency (nginx on 127.0.0.1), beside the same run fetching one
  file at a time (CONEXOES 1, the order of requests of a launcher that fetched
  one file after the other).

Ratios are medians of alternating runs, printed with their spread, and each
launcher run prints its peak working set. Run through scripts/bench.sh, which
builds update_bench.exe and prepares Wine; data lands in build/bench-data."""
import shutil
import sys
import tempfile
from pathlib import Path

from update_bench import DATA, ROOT, empty_folder, figure, make_release, median, print_ratio, run_bench, serve, timed

sys.path.insert(0, str(ROOT / "tools"))
from latency_proxy import LatencyProxy  # noqa: E402
from local_nginx import stop_nginx  # noqa: E402

FILES = 2000
SIZE = 16 * 1024
CONNECTIONS = 6
RTT = 0.05
RUNS_AT_LATENCY = 3  # one curl over one connection alone takes FILES round trips
RUNS = 5


def launcher_seconds(url, work, connections, show):
    """One first install into an empty folder: its time, and its output."""
    empty_folder(work, keep=work / "curl.cfg")
    output = run_bench("fetch", url, str(connections), cwd=work, show=show)
    return figure(r"result 1, ([\d.]+) s", output), output


def curl_seconds(config, work, parallel):
    shutil.rmtree(work / "curl", ignore_errors=True)
    command = ["curl", "-s", "--no-progress-meter", "--create-dirs", "-K", str(config)]
    if parallel:
        command += ["--parallel", "--parallel-max", str(parallel)]
    return timed(command)


def at_latency(port, work, config):
    print(f"first install of {FILES} files of {SIZE // 1024} KB at a {RTT * 1000:.0f} ms round trip:")
    with LatencyProxy(port, RTT, lifetime=3600) as proxy:
        url = proxy.base_url
        curl_config = work / "curl.cfg"
        curl_config.write_text(config(url))
        one = curl_seconds(curl_config, work, 0)
        print(f"  curl, one connection:            {one:7.1f} s")
        launchers, curls, ratios = [], [], []
        for run in range(RUNS_AT_LATENCY):
            seconds, _ = launcher_seconds(url, work, CONNECTIONS, show=run == 0)
            launchers.append(seconds)
            curls.append(curl_seconds(curl_config, work, CONNECTIONS))
            ratios.append(launchers[-1] / curls[-1])
        print(f"  launcher, CONEXOES {CONNECTIONS}:             {median(launchers):7.1f} s (median)")
        print(f"  curl, {CONNECTIONS} in parallel:              {median(curls):7.1f} s (median)")
        print_ratio(f"launcher / curl with {CONNECTIONS} in parallel (target at most 1.5)", ratios)


def without_latency(port, work):
    url = f"http://127.0.0.1:{port}/"
    print(f"first install of {FILES} files of {SIZE // 1024} KB at no added latency:")
    rates = {CONNECTIONS: [], 1: []}
    ratios = []
    for run in range(RUNS):
        for connections in (CONNECTIONS, 1):
            seconds, _ = launcher_seconds(url, work, connections, show=run == 0)
            rates[connections].append(FILES / seconds)
        ratios.append(rates[CONNECTIONS][-1] / rates[1][-1])
    print(f"  CONEXOES {CONNECTIONS}: {median(rates[CONNECTIONS]):6.0f} files/s;"
          f" one at a time: {median(rates[1]):6.0f} files/s (medians)")
    print_ratio(f"CONEXOES {CONNECTIONS} / one at a time (target at least 1)", ratios)


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    release = DATA / "release-16k"
    make_release(release, FILES, SIZE, SIZE, seed=3)
    names = [str(p.relative_to(release)) for p in sorted(release.rglob("*.bin"))]
    server, port = serve(release, "16k")
    work = Path(tempfile.mkdtemp(dir=DATA))
    try:
        def config(url):
            return "".join(f'url = "{url}{n}"\noutput = "{work}/curl/{n}"\n' for n in names)
        at_latency(port, work, config)
        without_latency(port, work)
    finally:
        shutil.rmtree(work)
        stop_nginx(server)


if __name__ == "__main__":
    main()
