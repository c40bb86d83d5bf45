"""valdrix.response.faultrol in plain Python: custom error codes and their process-wide registry.

The declared `str` parameters and results are checked as the native functions
check them: an argument must be an exact str, a result an exact str or None.
"""

from typing import Dict, Optional


def incorrect_type(name, expected, value):
    given = type(value).__name__
    error = TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {given})")
    if isinstance(value, expected):
        error.add_note("Note: subclasses of built-in types are not accepted; pass an object of the exact type.")
    return error


def incorrect_result(value):
    return TypeError(f"Expected str, got {type(value).__name__}")


class CustomErrorCode:
    """自定义错误码。

    用于定义内置 ErrorCode 枚举之外的自定义错误码，
    可直接传给 ServiceResult.fail() 使用。

    示例:
        MY_ERROR = CustomErrorCode("MY_ERROR", "自定义错误消息")
        return ServiceResult.fail(MY_ERROR)
    """

    def __init__(self, code: str, msg: str):
        if type(code) is not str:
            raise incorrect_type("code", str, code)
        if type(msg) is not str:
            raise incorrect_type("msg", str, msg)
        self._code = code
        self._msg = msg

    @property
    def code(self) -> str:
        code = self._code
        if code is not None and type(code) is not str:
            raise incorrect_result(code)
        return code

    @property
    def msg(self) -> str:
        msg = self._msg
        if msg is not None and type(msg) is not str:
            raise incorrect_result(msg)
        return msg

    def __repr__(self) -> str:
        return f"CustomErrorCode({self._code!r}, {self._msg!r})"


class ErrorCodeRegistry:
    """错误码注册表。

    提供全局注册和查找自定义错误码的功能。

    用法:
        ErrorCodeRegistry.register("MY_ERROR", "自定义错误消息")
        error = ErrorCodeRegistry.get("MY_ERROR")
        all_errors = ErrorCodeRegistry.list_all()
    """

    _registry: Dict[str, CustomErrorCode] = {}

    @classmethod
    def register(cls, code: str, msg: str) -> "CustomErrorCode":
        """注册一个自定义错误码。"""
        if type(code) is not str:
            raise incorrect_type("code", str, code)
        if type(msg) is not str:
            raise incorrect_type("msg", str, msg)
        error_code = CustomErrorCode(code, msg)
        cls._registry[code] = error_code
        return error_code

    @classmethod
    def get(cls, code: str) -> Optional["CustomErrorCode"]:
        """根据 code 查找已注册的错误码。"""
        if type(code) is not str:
            raise incorrect_type("code", str, code)
        return cls._registry.get(code)

    @classmethod
    def list_all(cls) -> Dict[str, "CustomErrorCode"]:
        """返回所有已注册的错误码字典。"""
        return dict(cls._registry)

    @classmethod
    def clear(cls) -> None:
        """清空所有注册的错误码（主要用于测试）。"""
        cls._registry.clear()
