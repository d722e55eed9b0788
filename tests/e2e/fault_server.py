"""An HTTP server on 127.0.0.1 for the end-to-end tests that need a server to
misbehave: it serves files from a folder, and for chosen paths answers 404,
sends a body other than the published one, cuts the body short, or sends it
slowly. With answer_everything it answers any path with a body."""
import http.server
import threading
import time
from pathlib import Path
from urllib.parse import unquote


class FaultServer:
    def __init__(self, root):
        self.root = Path(root)
        self.faults = {}  # URL path -> ("404",) | ("wrong", body) | ("truncate",) | ("slow", seconds)
        self.answer_everything = False
        self.requests = []
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

    def _body_for(self, path):
        """(status, body, announced length) for a request path."""
        fault = self.faults.get(path, ())
        if fault[:1] == ("404",):
            return 404, b"not found", None
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

    def _handler(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):  # noqa: N802 (the http.server name)
                server.requests.append((self.path, self.headers.get("User-Agent", "")))
                status, body, announced = server._body_for(self.path)
                self.send_response(status)
                self.send_header("Content-Length", str(announced if announced is not None else len(body)))
                self.end_headers()
                fault = server.faults.get(self.path, ())
                if fault[:1] == ("slow",):
                    self._send_slowly(body, fault[1])
                else:
                    self.wfile.write(body)
                if announced is not None:
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
