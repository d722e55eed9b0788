#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that gives every connection a fixed round trip:
the loopback of these machines has no netem, and a server far from the
player is what makes a launcher wait. The benchmarks put it in front of
nginx, the end-to-end tests in front of the fault server.

    latency_proxy.py TARGET_PORT [--rtt-ms 50] [--port 0] [--seconds 600]

It accepts on 127.0.0.1 (PORT, or a free one, printed), connects each client
to 127.0.0.1:TARGET_PORT and forwards each direction after half the round
trip, bytes in the order they came. A new connection costs one round trip
before its first byte goes on, as a TCP handshake does. It stays on loopback
(it only ever connects to 127.0.0.1), holds at most MOST_CONNECTIONS
connections and MOST_QUEUED bytes per direction (a reader waits for its
writer beyond that), and stops by itself after --seconds.
"""
import argparse
import collections
import socket
import sys
import threading
import time

MOST_CONNECTIONS = 64
MOST_QUEUED = 4 << 20
PIECE = 1 << 16


class _Direction:
    """Bytes from one socket to the other, each piece sent when it is due."""

    def __init__(self, source, target, delay, not_before, ended):
        self.source, self.target = source, target
        self.delay, self.not_before = delay, not_before
        self.ended = ended  # called once both ends of this direction are done
        self.pieces = collections.deque()  # (due, bytes or None for the end)
        self.queued = 0
        self.changed = threading.Condition()

    def start(self):
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._write, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.source.recv(PIECE)
            except OSError:
                data = b""
            due = max(time.monotonic(), self.not_before) + self.delay
            with self.changed:
                while data and self.queued > MOST_QUEUED:
                    self.changed.wait(0.1)
                self.pieces.append((due, data or None))
                self.queued += len(data)
                self.changed.notify_all()
            if not data:
                return

    def _write(self):
        while True:
            with self.changed:
                while not self.pieces:
                    self.changed.wait()
                due, data = self.pieces[0]
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            with self.changed:
                self.pieces.popleft()
                self.queued -= len(data or b"")
                self.changed.notify_all()
            try:
                if data is None:
                    self.target.shutdown(socket.SHUT_WR)
                else:
                    self.target.sendall(data)
            except OSError:
                data = None
            if data is None:
                self.ended()
                return


class LatencyProxy:
    """The proxy in this process: start() it, give clients its port, stop() it."""

    def __init__(self, target_port, rtt_seconds, port=0, lifetime=600.0):
        self.target_port = target_port
        self.rtt = rtt_seconds
        self.lifetime = lifetime
        self._listener = socket.create_server(("127.0.0.1", port))
        self._listener.settimeout(0.2)
        self._lock = threading.Lock()
        self._open = {}  # connection number -> its two sockets
        self._stopped = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)

    @property
    def port(self):
        return self._listener.getsockname()[1]

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self.port}/"

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stopped.set()
        self._thread.join()
        with self._lock:
            for sockets in self._open.values():
                for one in sockets:
                    one.close()
            self._open.clear()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()

    def _accept(self):
        deadline = time.monotonic() + self.lifetime
        number = 0
        while not self._stopped.is_set() and time.monotonic() < deadline:
            try:
                client, _ = self._listener.accept()
            except TimeoutError:
                continue
            number += 1
            self._connect(number, client)
        self._listener.close()

    def _connect(self, number, client):
        with self._lock:
            full = len(self._open) >= MOST_CONNECTIONS
        try:
            if full:
                raise OSError("too many connections")
            upstream = socket.create_connection(("127.0.0.1", self.target_port))
        except OSError:
            client.close()
            return
        for one in (client, upstream):
            one.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self._lock:
            self._open[number] = (client, upstream)
        half = self.rtt / 2
        handshake_done = time.monotonic() + self.rtt
        ends = []

        def ended():
            with self._lock:
                ends.append(1)
                if len(ends) < 2 or number not in self._open:
                    return
                del self._open[number]
            client.close()
            upstream.close()

        _Direction(client, upstream, half, handshake_done, ended).start()
        _Direction(upstream, client, half, 0.0, ended).start()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("target_port", type=int)
    parser.add_argument("--rtt-ms", type=float, default=50.0)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--seconds", type=float, default=600.0)
    arguments = parser.parse_args()
    proxy = LatencyProxy(arguments.target_port, arguments.rtt_ms / 1000, arguments.port, arguments.seconds)
    print(f"latency proxy on 127.0.0.1:{proxy.port} -> 127.0.0.1:{arguments.target_port},"
          f" {arguments.rtt_ms:g} ms round trip", flush=True)
    proxy.start()
    try:
        proxy._thread.join()
    except KeyboardInterrupt:
        pass
    proxy.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
