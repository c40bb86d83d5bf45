"""Error codes: registry calls and property reads against the same classes in plain Python."""

import enum
from typing import Dict, Optional

from _harness import compare

from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode


class PyCustomErrorCode:
    def __init__(self, code: str, msg: str):
        if type(code) is not str or type(msg) is not str:
            raise TypeError("incorrect type")
        self._code = code
        self._msg = msg

    @property
    def code(self) -> str:
        return self._code

    @property
    def msg(self) -> str:
        return self._msg


class PyErrorCodeRegistry:
    _registry: Dict[str, PyCustomErrorCode] = {}

    @classmethod
    def register(cls, code: str, msg: str) -> PyCustomErrorCode:
        error = PyCustomErrorCode(code, msg)
        cls._registry[code] = error
        return error

    @classmethod
    def get(cls, code: str) -> Optional[PyCustomErrorCode]:
        if type(code) is not str:
            raise TypeError("incorrect type")
        return cls._registry.get(code)

    @classmethod
    def list_all(cls) -> Dict[str, PyCustomErrorCode]:
        return dict(cls._registry)

    @classmethod
    def clear(cls) -> None:
        cls._registry.clear()


class PyErrorCode(enum.Enum):
    SUCCESS = ("SUCCESS", "服务完成")
    PROMPT_BANNED = ("PROMPT_BANNED", "提示词包含违禁内容，请修改后重试")

    @property
    def code(self):
        return self.value[0]

    @property
    def msg(self):
        return self.value[1]


def run():
    ErrorCodeRegistry.clear()
    for i in range(100):
        ErrorCodeRegistry.register(f"E{i}", "m")
        PyErrorCodeRegistry.register(f"E{i}", "m")
    ours_code = CustomErrorCode("MY_ERROR", "m")
    py_code = PyCustomErrorCode("MY_ERROR", "m")
    member, py_member = ErrorCode.PROMPT_BANNED, PyErrorCode.PROMPT_BANNED
    rows = [
        compare("ErrorCodeRegistry.get", lambda: ErrorCodeRegistry.get("E42"), lambda: PyErrorCodeRegistry.get("E42")),
        compare("ErrorCodeRegistry.register", lambda: ErrorCodeRegistry.register("E42", "m"),
                lambda: PyErrorCodeRegistry.register("E42", "m")),
        compare("CustomErrorCode.code", lambda: ours_code.code, lambda: py_code.code),
        compare("ErrorCode.X.msg", lambda: member.msg, lambda: py_member.msg),
        compare("ErrorCodeRegistry.list_all, 100 codes", ErrorCodeRegistry.list_all, PyErrorCodeRegistry.list_all),
    ]
    ErrorCodeRegistry.clear()
    PyErrorCodeRegistry.clear()
    rows.append(compare("ErrorCodeRegistry.clear, empty", ErrorCodeRegistry.clear, PyErrorCodeRegistry.clear))
    return "error codes (ratio = valdrix time / plain Python time; target <= 1.0)", rows
