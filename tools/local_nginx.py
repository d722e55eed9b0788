#!/usr/bin/python3
"""Serves a published release with nginx on 127.0.0.1, to try a release
before it is uploaded; the demo, the tests and the benchmarks use it too.

    local_nginx.py FOLDER [--url-path /quorvane/] [--port 8080] [--state DIR]

FOLDER (what publish_release.py wrote into OUT) appears under the URL path:
with --url-path /quorvane/ and --port 8080, FOLDER/manifesto.txt is
http://127.0.0.1:8080/quorvane/manifesto.txt, the address to build the
launcher with (QRV_DEFAULT_BASE_URL). The tool prints that address and runs
until it is stopped (Ctrl-C or SIGTERM), and nginx stops with it.

nginx's configuration, logs and temporary files go into the state folder: a
new temporary one, removed at the end, unless --state names one. Its
access.log has a line per request of seven fields separated by "|":
  1. the request line ($request), e.g. "GET /quorvane/manifesto.txt HTTP/1.1"
  2. the status ($status)
  3. the user agent ($http_user_agent)
  4. the connection's serial number ($connection): lines with the same
     number came over one connection
  5. the requests made on that connection so far, this one included
     ($connection_requests): above 1 shows keep-alive
  6. the body bytes sent ($body_bytes_sent)
  7. the Range asked ($http_range; "-" without one)
Objects (objetos/) are served as cacheable for a year and immutable,
everything else as no-cache: the headers a CDN in front of the release
should give them too.
"""
import argparse
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from publisher.manifests import OBJECTS_FOLDER

NGINX = "/usr/sbin/nginx"
CONFIG = """\
daemon off;
user root;
worker_processes 1;
pid {state}/nginx.pid;
error_log {state}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format qrv '$request|$status|$http_user_agent|$connection|$connection_requests|$body_bytes_sent|$http_range';
    access_log {state}/access.log qrv;
    client_body_temp_path {state}/body;
    proxy_temp_path {state}/proxy;
    fastcgi_temp_path {state}/fastcgi;
    uwsgi_temp_path {state}/uwsgi;
    scgi_temp_path {state}/scgi;
    types {{ }}
    default_type application/octet-stream;
    keepalive_timeout 30s;
    sendfile {sendfile};
    limit_rate {rate};
    limit_rate_after {rate_after};
    server {{
        listen 127.0.0.1:{port};
        # Manifests and path copies change from release to release: caches
        # must ask again. Objects are named by their digest and never change.
        location {url_path} {{
            alias {served}/;
            add_header Cache-Control "no-cache";
        }}
        location {url_path}{objects} {{
            alias {served}/{objects};
            add_header Cache-Control "public, max-age=31536000, immutable";
        }}
    }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def refuse_taken_port(port):
    """Another program listening on the port asked for would answer in nginx's place (nginx itself
    then fails to bind and exits, perhaps after the first connection succeeded)."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as nginx: closed connections do not count
        try:
            probe.bind(("127.0.0.1", port))
        except OSError as error:
            raise RuntimeError(f"port {port} on 127.0.0.1 is taken by another program ({error.strerror}): "
                               "stop it, or choose another port") from None


def wait_for_port(port, process, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f"nginx exited with code {process.returncode}")
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError(f"nginx did not listen on port {port}")


def url_path_of(text):
    """The URL path as nginx's location takes it: starting and ending in "/"."""
    if not text.startswith("/") or not text.endswith("/") or any(c in text for c in " ;{}#?%\\"):
        raise SystemExit(f"local_nginx: --url-path {text}: a path that starts and ends in '/', such as /quorvane/")
    return text


def start_nginx(served, state, port=None, url_path="/", rate=0, rate_after=0, sendfile=True):
    """Starts nginx serving the folder under url_path on 127.0.0.1, each answer at most rate bytes a
    second (0: as fast as it goes) once its first rate_after bytes went out; answers (process, port).
    Served with sendfile, as servers do, nginx sends a rate-limited answer a page (4 KB) at a time;
    without it, a few bytes at a time."""
    state = Path(state).resolve()
    state.mkdir(parents=True, exist_ok=True)
    if port:
        refuse_taken_port(port)
    port = port or free_port()
    config = state / "nginx.conf"
    config.write_text(CONFIG.format(state=state, port=port, url_path=url_path, served=Path(served).resolve(),
                                    objects=OBJECTS_FOLDER, rate=rate, rate_after=rate_after,
                                    sendfile="on" if sendfile else "off"))
    process = subprocess.Popen([NGINX, "-p", str(state), "-c", str(config)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port, process)
    return process, port


def stop_nginx(process):
    process.terminate()
    process.wait(timeout=10)


def access_log(state):
    """Parsed access log lines: dicts of request, status, agent, connection, requests, bytes (of the body
    sent) and range (the Range asked, "-" for none)."""
    log = Path(state) / "access.log"
    if not log.exists():
        return []
    keys = ("request", "status", "agent", "connection", "requests", "bytes", "range")
    return [dict(zip(keys, line.split("|"))) for line in log.read_text().splitlines()]


def main(argv=None):
    parser = argparse.ArgumentParser(prog="local_nginx.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path, metavar="FOLDER", help="the folder to serve (publish_release.py's OUT)")
    parser.add_argument("--url-path", default="/", type=url_path_of, metavar="PATH",
                        help="the URL path FOLDER appears under (default /)")
    parser.add_argument("--port", type=int, metavar="N", help="the port on 127.0.0.1 (default: a free one)")
    parser.add_argument("--state", type=Path, metavar="DIR",
                        help="nginx's configuration, logs and temporary files (default: a temporary folder)")
    arguments = parser.parse_args(argv)
    if not arguments.folder.is_dir():
        raise SystemExit(f"local_nginx: {arguments.folder} is not a folder")
    state = arguments.state or Path(tempfile.mkdtemp(prefix="local_nginx-"))
    # SIGTERM ends the tool like Ctrl-C, so nginx never outlives it.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    process = None
    try:
        process, port = start_nginx(arguments.folder, state, arguments.port, arguments.url_path)
        print(f"nginx serves {arguments.folder} at http://127.0.0.1:{port}{arguments.url_path} "
              f"(state in {state}); Ctrl-C stops it", flush=True)
        process.wait()
    except KeyboardInterrupt:
        pass
    finally:
        if process and process.poll() is None:
            stop_nginx(process)
        if not arguments.state:
            shutil.rmtree(state, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
