#!/usr/bin/env python3
"""Serves a published release with nginx on 127.0.0.1, with its own
configuration, logs and prefix, for the demo and the end-to-end tests.

    local_nginx.py ROOT PREFIX [--port N]   (runs in the foreground)

The access log (PREFIX/access.log) records the request, status, user agent and
the number of requests made on the same connection, which shows keep-alive.
"""
import argparse
import socket
import subprocess
import time
from pathlib import Path

NGINX = "/usr/sbin/nginx"
CONFIG = """\
daemon off;
user root;
worker_processes 1;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log warn;
events {{ worker_connections 64; }}
http {{
    log_format qrv '$request|$status|$http_user_agent|$connection|$connection_requests';
    access_log {prefix}/access.log qrv;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    types {{ }}
    default_type application/octet-stream;
    keepalive_timeout 30s;
    server {{
        listen 127.0.0.1:{port};
        root {root};
    }}
}}
"""


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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


def start_nginx(root, prefix, port=None):
    """Starts nginx serving root on 127.0.0.1; answers (process, port)."""
    prefix = Path(prefix).resolve()
    prefix.mkdir(parents=True, exist_ok=True)
    port = port or free_port()
    config = prefix / "nginx.conf"
    config.write_text(CONFIG.format(prefix=prefix, port=port, root=Path(root).resolve()))
    process = subprocess.Popen([NGINX, "-p", str(prefix), "-c", str(config)],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_port(port, process)
    return process, port


def stop_nginx(process):
    process.terminate()
    process.wait(timeout=10)


def access_log(prefix):
    """Parsed access log lines: dicts of request, status, agent, connection, requests."""
    log = Path(prefix) / "access.log"
    if not log.exists():
        return []
    keys = ("request", "status", "agent", "connection", "requests")
    return [dict(zip(keys, line.split("|"))) for line in log.read_text().splitlines()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("root")
    parser.add_argument("prefix")
    parser.add_argument("--port", type=int)
    arguments = parser.parse_args()
    process, port = start_nginx(arguments.root, arguments.prefix, arguments.port)
    print(f"nginx serves {arguments.root} on http://127.0.0.1:{port}/", flush=True)
    try:
        process.wait()
    except KeyboardInterrupt:
        stop_nginx(process)


if __name__ == "__main__":
    main()
