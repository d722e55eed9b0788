"""An HTTP server on 127.0.0.1 for the end-to-end tests that need a server to
misbehave: it serves files from a folder (answering "Range: bytes=N-" and
"bytes=A-B" with 206 unless no_ranges is set), and for chosen paths answers 404, sends a body other
than the published one, cuts the body short, sends it slowly, breaks it off
after a number of bytes for the first answers (with or without a
Content-Length), drips it a few bytes at a time, stalls, sends an endless
body (with no length, or announcing a length it never ends), or keeps silent
before its headers for the first requests, or answers with a status of its
choosing. A fault for every path (fault_everything) plays a server that is
down or failing as a whole. With answer_everything it answers any path with a body. A file of
STREAMED_BYTES or more is sent from the disk as it is read (a test's sparse
file of gigabytes), with ranges and breaks alone."""
import http.server
import re
import threading
import time
from pathlib import Path
from urllib.parse import unquote

LONGEST_STALL = 60.0  # seconds; the client gives up long before
ENDLESS_BYTES = 8 << 30  # what an endless body sends at most, should a client read on
STREAMED_BYTES = 64 << 20


class FaultServer:
    def __init__(self, root):
        self.root = Path(root)
        # URL path -> ("404",) | ("wrong", body) | ("truncate",) | ("slow", seconds)
        #           | ("cut", bytes, answers) | ("close", bytes, answers): the same without Content-Length
        #           | ("stall", bytes) | ("drip", bytes, seconds): that many bytes at a time, that far apart
        #           | ("huge", bytes): a body of that many bytes without Content-Length
        #           | ("endless", announced): that Content-Length, and a body sent until the client goes
        #           | ("silent", answers): no answer at all to the first requests
        #           | ("wrongrange",): ranges answered with other bytes
        #           | ("status", code): that status and a short body
        self.faults = {}
        self.fault_everything = ()  # for every path without a fault of its own
        self.sent = {}      # URL path -> bytes of the last answer's body that reached the socket
        self.answer_everything = False
        self.no_ranges = False
        self.requests = []  # (path, user agent)
        self.ranges = []    # (path, Range header or None)
        self.asked = []     # (path, time.monotonic() when the request came)
        self.answered = []  # (path, time.monotonic() when its answer was sent or broken off)
        self._cuts_made = {}
        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)

    @property
    def base_url(self):
        return f"http://127.0.0.1:{self._server.server_port}/"

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.server_close()

    def fault(self, path):
        return self.faults.get(path, self.fault_everything)

    def _streamed_file(self, path):
        """The file of a request path when it is large enough to be streamed, else None."""
        file = self.root.joinpath(*unquote(path).lstrip("/").split("/"))
        return file if file.is_file() and file.stat().st_size >= STREAMED_BYTES else None

    def _body_for(self, path):
        """(status, body, announced length) for a request path."""
        fault = self.fault(path)
        if fault[:1] == ("404",):
            return 404, b"not found", None
        if fault[:1] == ("status",):
            return fault[1], b"failing", None
        if fault[:1] == ("wrong",):
            return 200, fault[1], None
        file = self.root.joinpath(*unquote(path).lstrip("/").split("/"))
        if file.is_file():
            body = file.read_bytes()
        elif self.answer_everything:
            body = b"whatever the client asked for"
        else:
            return 404, b"not found", None
        if fault[:1] == ("truncate",):
            return 200, body[: len(body) // 2], len(body)
        return 200, body, None

    def _sent_part(self, path, body):
        """How many bytes of the body this answer sends before it breaks off (None: all)."""
        fault = self.fault(path)
        if fault[:1] == ("stall",):
            return fault[1]
        if fault[:1] in (("cut",), ("close",)):
            made = self._cuts_made.get(path, 0)
            if made < fault[2]:
                self._cuts_made[path] = made + 1
                return fault[1]
        return None

    def _silenced(self, path, answers):
        """Whether this request of path is one of the first ones, left without an answer."""
        made = self._cuts_made.get(path, 0)
        self._cuts_made[path] = made + 1
        return made < answers

    def _handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):  # noqa: N802 (the http.server name)
                server.requests.append((self.path, self.headers.get("User-Agent", "")))
                server.ranges.append((self.path, self.headers.get("Range")))
                server.asked.append((self.path, time.monotonic()))
                try:
                    self._answer()
                finally:
                    server.answered.append((self.path, time.monotonic()))

            def _answer(self):
                fault = server.fault(self.path)
                if fault[:1] == ("huge",):
                    self._send_endless(fault[1])
                    return
                if fault[:1] == ("endless",):
                    self._send_endless(ENDLESS_BYTES, announced=fault[1])
                    return
                if fault[:1] == ("silent",) and server._silenced(self.path, fault[1]):
                    self._stall()
                    self.close_connection = True
                    return
                streamed = server._streamed_file(self.path)
                if streamed:
                    self._send_file(streamed)
                    return
                status, body, announced = server._body_for(self.path)
                start, end = self._range(status, len(body))
                if start is not None:
                    self.send_response(206)
                    self.send_header("Content-Range", f"bytes {start}-{end}/{len(body)}")
                    body = body[start:end + 1]
                    if fault[:1] == ("wrongrange",):
                        body = bytes(b ^ 0x55 for b in body)
                else:
                    self.send_response(status)
                if fault[:1] == ("close",) and start is None:
                    self.close_connection = True
                else:
                    self.send_header("Content-Length", str(announced if announced is not None else len(body)))
                self.end_headers()
                part = server._sent_part(self.path, body)
                if fault[:1] == ("slow",):
                    self._send_slowly(body, fault[1])
                elif fault[:1] == ("drip",):
                    self._drip(body, fault[1], fault[2])
                elif part is not None:
                    self.wfile.write(body[:part])
                    self.wfile.flush()
                    if fault[:1] == ("stall",):
                        self._stall()
                    self.close_connection = True
                else:
                    self.wfile.write(body)
                if announced is not None:
                    self.close_connection = True

            def _range(self, status, size):
                """(first, last) of the one range asked ("bytes=N-" or "bytes=A-B"), or (None, None)."""
                asked = self.headers.get("Range", "")
                match = re.fullmatch(r"bytes=(\d+)-(\d*)", asked)
                if server.no_ranges or status != 200 or not match:
                    return None, None
                start = int(match.group(1))
                end = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
                if not match.group(2) and start == 0:
                    return None, None
                return (start, end) if start <= end < size else (None, None)

            def _send_file(self, file):
                """A large file from the disk, whole or its range, broken off as its fault says."""
                size = file.stat().st_size
                start, end = self._range(200, size)
                if start is None:
                    self.send_response(200)
                    start, end = 0, size - 1
                else:
                    self.send_response(206)
                    self.send_header("Content-Range", f"bytes {start}-{end}/{size}")
                self.send_header("Content-Length", str(end - start + 1))
                self.end_headers()
                self.wfile.flush()
                part = server._sent_part(self.path, None)
                count = end - start + 1 if part is None else min(part, end - start + 1)
                with open(file, "rb") as source:
                    try:
                        self.connection.sendfile(source, start, count)
                    except OSError:
                        pass
                server.sent[self.path] = count
                self.close_connection = part is not None or self.close_connection

            def _stall(self):
                """Sends nothing more until the client gives up (or a minute has passed)."""
                deadline = time.monotonic() + LONGEST_STALL
                self.connection.settimeout(0.2)
                while time.monotonic() < deadline:
                    try:
                        if self.connection.recv(1) == b"":
                            return
                    except TimeoutError:
                        continue
                    except OSError:
                        return

            def _send_endless(self, size, piece=1 << 16, announced=None):
                """A body of size bytes, close-delimited or announcing another length; counts what the client took."""
                self.send_response(200)
                self.close_connection = True
                if announced is not None:
                    self.send_header("Content-Length", str(announced))
                self.end_headers()
                sent = 0
                try:
                    while sent < size:
                        self.wfile.write(b"x" * min(piece, size - sent))
                        sent += min(piece, size - sent)
                        server.sent[self.path] = sent
                except OSError:
                    pass

            def _drip(self, body, step, seconds):
                try:
                    for start in range(0, len(body), step):
                        self.wfile.write(body[start:start + step])
                        self.wfile.flush()
                        time.sleep(seconds)
                except OSError:
                    self.close_connection = True

            def _send_slowly(self, body, seconds, pieces=20):
                step = max(1, len(body) // pieces)
                for start in range(0, len(body), step):
                    self.wfile.write(body[start:start + step])
                    self.wfile.flush()
                    time.sleep(seconds / pieces)

            def log_message(self, *arguments):
                pass

        return Handler
