"""The local server: a folder under a URL path, with the cache headers each kind of URL needs."""
import re
import socket
import subprocess
import sys
import urllib.request
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from local_nginx import CONFIG, start_nginx, stop_nginx  # noqa: E402

OBJECT = "0" * 64


def test_serves_the_folder_under_its_path_with_the_cache_headers_of_each_kind(tmp_path):
    served = tmp_path / "served"
    (served / "objetos").mkdir(parents=True)
    (served / "data").mkdir()
    (served / "manifesto.txt").write_bytes(b"VERSAO 1\n")
    (served / "objetos" / OBJECT).write_bytes(b"object")
    (served / "data" / "a.pak").write_bytes(b"pack")
    process, port = start_nginx(served, tmp_path / "state", url_path="/quorvane/")
    try:
        for path, body, cache in (("manifesto.txt", b"VERSAO 1\n", "no-cache"),
                                  ("data/a.pak", b"pack", "no-cache"),
                                  (f"objetos/{OBJECT}", b"object", "public, max-age=31536000, immutable")):
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/quorvane/{path}") as answer:
                assert answer.read() == body
                assert answer.headers["Cache-Control"] == cache, path
    finally:
        stop_nginx(process)


def test_a_port_another_program_holds_is_refused_rather_than_served_by_it(tmp_path):
    with socket.socket() as other:
        other.bind(("127.0.0.1", 0))
        other.listen()
        port = other.getsockname()[1]
        with pytest.raises(RuntimeError, match=f"port {port} on 127.0.0.1 is taken by another program"):
            start_nginx(tmp_path / "served", tmp_path / "state", port=port)


def test_help_says_each_field_of_the_access_log():
    fields = re.search(r"log_format qrv '([^']+)'", CONFIG).group(1).split("|")
    helped = subprocess.run([sys.executable, str(Path(__file__).resolve().parents[2] / "tools" / "local_nginx.py"),
                             "--help"], capture_output=True, text=True, check=True).stdout
    described = re.findall(r"^ +\d+\. (.*?)(?=^ +\d+\. |^\S)", helped, re.MULTILINE | re.DOTALL)
    assert len(described) == len(fields)
    for text, field in zip(described, fields):
        assert f"({field}" in text, field
