"""ComfyUI restart controller: the work around the HTTP requests, against the same class in plain Python.

The requests themselves (and the pauses) dominate any real call and cost the
same either way, so what is timed here is the set-up and a poll with no budget,
which sends nothing.
"""

import logging
import time
from typing import Optional

import requests
from _harness import compare

from valdrix.comfyui.halvane import ComfyUIManager


class PyComfyUIManager:
    def __init__(self, base_url: str = "http://127.0.0.1:8188", timeout: int = 5, max_wait_seconds: int = 60,
                 poll_interval: float = 2.0, logger: Optional[logging.Logger] = None):
        if type(timeout) is not int:
            timeout = int(timeout)
        if type(max_wait_seconds) is not int:
            max_wait_seconds = int(max_wait_seconds)
        poll_interval = float(poll_interval)
        if type(base_url) is not str:
            raise TypeError("incorrect type")
        self.base_url = base_url.rstrip("/")
        self.reboot_api = f"{self.base_url}/api/manager/reboot"
        self.stats_api = f"{self.base_url}/api/system_stats"
        self.timeout = timeout
        self.max_wait = max_wait_seconds
        self.poll_interval = poll_interval
        self.flag = f"comfyui服务重启 [{base_url}]"
        self.logger = logger or logging.getLogger(__name__)

    def wait_service_ready(self) -> bool:
        start_time = time.time()
        self.logger.debug("%s 开始轮询 %s，最长等待 %ss", self.flag, self.stats_api, self.max_wait)
        while time.time() - start_time < self.max_wait:
            try:
                resp = requests.get(self.stats_api, timeout=self.timeout)
                if resp.status_code == 200:
                    self.logger.debug("%s 服务已恢复正常，状态码200", self.flag)
                    return True
                self.logger.debug("%s 接口返回异常状态码 %s，继续等待...", self.flag, resp.status_code)
            except requests.exceptions.ConnectionError:
                print(f"{self.flag} 服务未启动/连接拒绝，等待中...")
            except Exception as e:
                print(f"{self.flag} 请求异常: {e}")
            time.sleep(self.poll_interval)
        self.logger.error("%s 超时 %ss，服务未恢复", self.flag, self.max_wait)
        return False


class QuietLogger:
    def debug(self, fmt, *args):
        pass

    error = debug


def run():
    quiet = QuietLogger()
    url = "http://127.0.0.1:8188//"
    ours_idle = ComfyUIManager(url, 5, 0, 2.0, quiet)
    python_idle = PyComfyUIManager(url, 5, 0, 2.0, quiet)
    rows = [
        compare("constructor, all arguments", lambda: ComfyUIManager(url, 5.5, 60, 2, quiet),
                lambda: PyComfyUIManager(url, 5.5, 60, 2, quiet), number=20000),
        compare("constructor, defaults", ComfyUIManager, PyComfyUIManager, number=20000),
        compare("wait_service_ready, no budget", ours_idle.wait_service_ready, python_idle.wait_service_ready,
                number=20000),
    ]
    return "halvane: ComfyUIManager", rows
