"""A stand-in for the ComfyUI image engine, for tests and the demo.

It serves the two endpoints the restart controller uses, on 127.0.0.1 at a
free port, from a background thread:

- ``GET /api/manager/reboot`` hangs up without sending any response (as an
  engine that accepts the order does), then takes the whole server down so
  that connections are refused, and brings it back on the same port after
  ``down_seconds`` (never, when that is None). With ``reboot_status`` set it
  answers that status instead and stays up.
- ``GET /api/system_stats`` answers the statuses of ``stats_statuses`` in
  turn, the last one repeating; the turn starts again whenever the server
  comes back up, like an engine that answers 503 while it starts.

Either endpoint can be made to answer later than a client's time-out
(``stats_delay``, ``reboot_delay``). Every request received is recorded in
``requests`` as ``(time.monotonic(), path)``.
"""

import http.server
import socket
import threading
import time
from typing import List, Optional, Sequence, Tuple

REBOOT_PATH = "/api/manager/reboot"
STATS_PATH = "/api/system_stats"


def refused_port() -> int:
    """A port on 127.0.0.1 where nothing listens (connections are refused)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):  # noqa: N802 (the name the base class dispatches to)
        stub: EngineStub = self.server.stub
        stub._record(self.path)
        if self.path == REBOOT_PATH:
            self._reboot(stub)
        elif self.path == STATS_PATH:
            self._answer(stub.stats_delay, stub._next_stats_status())
        else:
            self._answer(0.0, 404)

    def _reboot(self, stub):
        if stub.reboot_status is not None:
            self._answer(stub.reboot_delay, stub.reboot_status)
            return
        if stub._stopping.wait(stub.reboot_delay):
            return
        # Down before the connection drops, so the client's next request
        # finds the port closed rather than a half-dead listener.
        stub._go_down()
        self.close_connection = True

    def _answer(self, delay, status):
        if self.server.stub._stopping.wait(delay):
            return
        body = b'{"system": {}, "devices": []}' if status == 200 else b"{}"
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass  # the client gave up waiting (read time-out)

    def log_message(self, format, *args):  # noqa: A002 (signature of the base class)
        pass


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class EngineStub:
    def __init__(self, *, stats_statuses: Sequence[int] = (200,), down_seconds: Optional[float] = 0.5,
                 reboot_status: Optional[int] = None, stats_delay: float = 0.0, reboot_delay: float = 0.0):
        self.stats_statuses = list(stats_statuses)
        self.down_seconds = down_seconds
        self.reboot_status = reboot_status
        self.stats_delay = stats_delay
        self.reboot_delay = reboot_delay
        self.requests: List[Tuple[float, str]] = []
        self.reboots = 0
        self.port = 0
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._server: Optional[_Server] = None
        self._stats_served = 0
        self._threads: List[threading.Thread] = []

    # --- life cycle --------------------------------------------------------

    def start(self) -> "EngineStub":
        self._come_up()
        return self

    def stop(self) -> None:
        self._stopping.set()
        with self._lock:
            server, self._server = self._server, None
        if server is not None:
            server.shutdown()
            server.server_close()
        for thread in self._threads:
            thread.join(timeout=5)

    def __enter__(self) -> "EngineStub":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def is_up(self) -> bool:
        with self._lock:
            return self._server is not None

    def paths(self) -> List[str]:
        with self._lock:
            return [path for _, path in self.requests]

    def wait_until_up(self, timeout: float = 5.0) -> bool:
        deadline = time.monotonic() + timeout
        while not self.is_up and time.monotonic() < deadline:
            time.sleep(0.01)
        return self.is_up

    # --- inner workings ----------------------------------------------------

    def _come_up(self) -> None:
        server = _Server(("127.0.0.1", self.port), _Handler)
        server.stub = self
        with self._lock:
            if self._stopping.is_set():
                server.server_close()
                return
            self.port = server.server_address[1]
            self._stats_served = 0
            self._server = server
        self._spawn(server.serve_forever, 0.02)

    def _go_down(self) -> None:
        with self._lock:
            server, self._server = self._server, None
            self.reboots += 1
        if server is None:
            return
        server.shutdown()  # called from a handler thread, not the serving one
        server.server_close()
        if self.down_seconds is not None:
            self._spawn(self._come_back, self.down_seconds)

    def _come_back(self, after: float) -> None:
        if not self._stopping.wait(after):
            self._come_up()

    def _spawn(self, target, argument) -> None:
        thread = threading.Thread(target=target, args=(argument,), daemon=True)
        self._threads.append(thread)
        thread.start()

    def _record(self, path: str) -> None:
        with self._lock:
            self.requests.append((time.monotonic(), path))

    def _next_stats_status(self) -> int:
        with self._lock:
            index = min(self._stats_served, len(self.stats_statuses) - 1)
            self._stats_served += 1
            return self.stats_statuses[index]
