"""ComfyUI restart: order a reboot and wait until the engine answers again

Runs against the stand-in engine of the test suite (tests/engine_stub.py): a
real HTTP server on 127.0.0.1 that hangs up on the restart order, refuses
connections while it is "down", then answers 503 while starting and 200 once
ready.
"""

import importlib.util
import logging
import pathlib
import sys
import time

from valdrix.comfyui.halvane import ComfyUIManager

_STUB_PATH = pathlib.Path(__file__).resolve().parent.parent / "tests" / "engine_stub.py"


def load_engine_stub():
    spec = importlib.util.spec_from_file_location("engine_stub", _STUB_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def show_log_lines() -> logging.Handler:
    # The manager's default logger is named after its module; show its debug
    # lines on standard output, where the failed readiness requests go too.
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("    %(levelname)-5s %(name)s: %(message)s"))
    logger = logging.getLogger("valdrix.comfyui.halvane")
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    return handler


def cycle(manager: ComfyUIManager) -> None:
    started = time.monotonic()
    ready = manager.run_reboot_and_wait()
    print(f"  -> run_reboot_and_wait() returned {ready} after {time.monotonic() - started:.1f} s")


def main(out_dir: pathlib.Path) -> None:
    engine_stub = load_engine_stub()
    handler = show_log_lines()
    print("(log lines are indented with their level; failed readiness requests are printed as they are)\n")
    try:
        print("1. An engine that is down for 1 s after the order, then answers 503 once while starting:")
        with engine_stub.EngineStub(down_seconds=1.0, stats_statuses=[503, 200]) as engine:
            manager = ComfyUIManager(engine.base_url + "/", timeout=2, max_wait_seconds=10, poll_interval=0.4)
            print(f"  base_url={manager.base_url}  reboot_api={manager.reboot_api}")
            cycle(manager)
            print(f"  requests the engine saw: {engine.paths()}")

        print("\n2. An engine that never comes back, with a budget of 1 s:")
        with engine_stub.EngineStub(down_seconds=None) as engine:
            cycle(ComfyUIManager(engine.base_url, timeout=2, max_wait_seconds=1, poll_interval=0.4))

        print("\n3. An engine that answers the order with 200 and stays up:")
        with engine_stub.EngineStub(reboot_status=200) as engine:
            cycle(ComfyUIManager(engine.base_url, timeout=2, max_wait_seconds=5))
    finally:
        logger = logging.getLogger("valdrix.comfyui.halvane")
        logger.removeHandler(handler)
        logger.propagate = True


if __name__ == "__main__":
    main(pathlib.Path("demo-output"))
