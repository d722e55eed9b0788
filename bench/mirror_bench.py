#!/usr/bin/env python3
"""A first install of 1 000 files of 16 KB from a mirror behind a 50 ms round
trip (nginx behind tools/latency_proxy.py), with CONEXOES 6:

- the mirror alone (URL_BASE names it);
- URL_BASE black-holed (a port that accepts connections and never answers,
  the mirror as its ESPELHO): at most the mirror alone + one receive time-out
  (30 s) + 10 %;
- URL_BASE refusing connections (a closed port): at most the mirror alone
  + 10 %.

Each figure is the median of alternating runs. Run through scripts/bench.sh,
which builds update_bench.exe and prepares Wine; data lands in build/bench-data."""
import shutil
import socket
import sys

from update_bench import DATA, ROOT, empty_folder, figure, make_release, median, run_bench, serve

sys.path.insert(0, str(ROOT / "tools"))
from latency_proxy import LatencyProxy  # noqa: E402
from local_nginx import stop_nginx  # noqa: E402

FILES = 1000
SIZE = 16 * 1024
CONNECTIONS = 6
RTT = 0.05
RUNS = 3
RECEIVE_TIMEOUT_S = 30  # the launcher's, as Windows has it by default


def seconds_of(work, first, mirror=None):
    empty_folder(work)
    arguments = ["fetch", first, str(CONNECTIONS)] + ([mirror] if mirror else [])
    return figure(r"result 1, ([\d.]+) s", run_bench(*arguments, cwd=work, show=False))


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    release = DATA / "release-1000x16k"
    make_release(release, FILES, SIZE, SIZE, seed=4)
    server, port = serve(release, "1000x16k")
    work = DATA / "mirror-work"
    work.mkdir(exist_ok=True)
    black_hole = socket.socket()  # listens, never accepts: connections are made, nothing answers
    black_hole.bind(("127.0.0.1", 0))
    black_hole.listen(64)
    refusing = socket.socket()
    refusing.bind(("127.0.0.1", 0))
    closed_url = f"http://127.0.0.1:{refusing.getsockname()[1]}/"
    refusing.close()
    hole_url = f"http://127.0.0.1:{black_hole.getsockname()[1]}/"
    try:
        with LatencyProxy(port, RTT, lifetime=3600) as proxy:
            mirror = proxy.base_url
            alone, holed, refused = [], [], []
            for _ in range(RUNS):
                alone.append(seconds_of(work, mirror))
                holed.append(seconds_of(work, hole_url, mirror))
                refused.append(seconds_of(work, closed_url, mirror))
        base = median(alone)
        print(f"first install of {FILES} files of {SIZE // 1024} KB from a mirror at a {RTT * 1000:.0f} ms round trip,"
              f" CONEXOES {CONNECTIONS} (medians of {RUNS} alternating runs):")
        print(f"  the mirror alone:               {base:6.1f} s  (runs {', '.join(f'{s:.1f}' for s in alone)})")
        print(f"  URL_BASE black-holed:           {median(holed):6.1f} s  (runs {', '.join(f'{s:.1f}' for s in holed)});"
              f" target at most {(base + RECEIVE_TIMEOUT_S) * 1.1:.1f}")
        print(f"  URL_BASE refusing connections:  {median(refused):6.1f} s  (runs {', '.join(f'{s:.1f}' for s in refused)});"
              f" target at most {base * 1.1:.1f}")
    finally:
        black_hole.close()
        shutil.rmtree(work, ignore_errors=True)
        stop_nginx(server)


if __name__ == "__main__":
    main()
