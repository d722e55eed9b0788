"""The benchmarks' latency proxy: every byte delayed by half the round trip
each way, a new connection a round trip more, the bytes intact, and an end of
its own."""
import http.client
import http.server
import socket
import sys
import threading
import time
from functools import partial
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from latency_proxy import LatencyProxy  # noqa: E402

RTT = 0.1


@pytest.fixture
def server(tmp_path):
    (tmp_path / "big.bin").write_bytes(bytes(range(256)) * 8192)
    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"  # keeps the connection

        def log_message(self, *arguments):
            pass

    served = http.server.ThreadingHTTPServer(("127.0.0.1", 0), partial(Handler, directory=str(tmp_path)))
    threading.Thread(target=served.serve_forever, daemon=True).start()
    yield served.server_port
    served.shutdown()
    served.server_close()


def timed_get(connection):
    start = time.monotonic()
    connection.request("GET", "/big.bin")
    body = connection.getresponse().read()
    return time.monotonic() - start, body


def test_each_request_waits_a_round_trip_and_a_new_connection_one_more(server):
    with LatencyProxy(server, RTT) as proxy:
        connection = http.client.HTTPConnection("127.0.0.1", proxy.port)
        first, body = timed_get(connection)
        again, body_again = timed_get(connection)
        connection.close()
    assert body == body_again == bytes(range(256)) * 8192
    assert 2 * RTT <= first < 2 * RTT + 0.5
    assert RTT <= again < 2 * RTT


def test_it_ends_by_itself(server):
    proxy = LatencyProxy(server, RTT, lifetime=0.3).start()
    port = proxy.port
    time.sleep(1.0)
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=1).recv(1)
    proxy.stop()
