"""Restarting a ComfyUI engine over HTTP and waiting until it answers again."""

import logging as logging
import time as time
from typing import Optional as Optional, Protocol, type_check_only

import requests as requests

# What the manager needs of a logger: a logging.Logger, a logging.LoggerAdapter
# or any object of the host's own with these two methods.
@type_check_only
class _Logger(Protocol):
    """Where the manager's messages go: called as ``debug(format, *values)`` and ``error(format, *values)``."""

    def debug(self, msg: str, /, *args: object) -> object:
        """Logs a ``%``-format and its values at debug level."""

    def error(self, msg: str, /, *args: object) -> object:
        """Logs a ``%``-format and its values at error level."""

class ComfyUIManager:
    """Orders a ComfyUI service (with its manager extension) to restart, then polls it until it is back.

    It never raises to report that the engine did not come back: outcomes are return values,
    log lines (``debug`` and ``error`` on ``logger``) and, for failed polls, printed lines.
    ``requests``, ``time`` and ``logging`` are looked up in the module at every use.
    """

    base_url: str
    """The base URL given, with every trailing "/" removed."""
    reboot_api: str
    """URL of the restart order: ``base_url`` + "/api/manager/reboot"; set once by the constructor."""
    stats_api: str
    """URL polled for readiness: ``base_url`` + "/api/system_stats"; set once by the constructor."""
    timeout: int
    """Time-out of each request, in whole seconds."""
    max_wait: int
    """Time budget of ``wait_service_ready``, in whole seconds."""
    poll_interval: float
    """Pause after every unsuccessful readiness attempt, in seconds."""
    flag: str
    """Prefix of every message: "comfyui服务重启 [" + the base URL as given + "]".

    Kept as given; log and printed lines show a URL's user-info in it as ``***``.
    """
    logger: _Logger
    """Where messages go: the ``logger`` given, or ``logging.getLogger("valdrix.comfyui.halvane")``."""

    def __init__(
        self,
        base_url: str = "http://127.0.0.1:8188",
        timeout: int = 5,
        max_wait_seconds: int = 60,
        poll_interval: float = 2.0,
        logger: Optional[_Logger] = None,
    ) -> None:
        """Stores the URLs and settings; sends no request.

        ``timeout`` and ``max_wait_seconds`` are whole seconds: any other number is converted
        with ``int()``, which truncates, so 0.5 becomes 0 (every request then fails, and a
        budget of 0 sends no request at all). ``poll_interval`` is kept as a float.
        ``logger`` may be anything with ``debug`` and ``error``; a falsy one is replaced by
        the module's named logger.
        """

    def trigger_reboot(self) -> None:
        """Sends ``GET reboot_api`` and returns ``None``.

        Any answer, or the engine hanging up without one ("Remote end closed connection"),
        counts as delivered; refused connections, time-outs and other errors are logged at
        ``debug``, never raised.
        """

    def wait_service_ready(self) -> bool:
        """Polls ``GET stats_api`` until it answers 200 (``True``) or ``max_wait`` seconds have passed (``False``).

        After every unsuccessful attempt it pauses ``poll_interval`` seconds; failed requests
        are printed to standard output, the start and the outcome logged. The call can last
        ``max_wait`` plus one request plus one pause.
        """

    def run_reboot_and_wait(self) -> bool:
        """``trigger_reboot()``, then ``wait_service_ready()``; logs the outcome and returns it."""
