"""valdrix.response.faultum: the fixed table of error codes."""

import enum

import pytest

from valdrix.response import faultum
from valdrix.response.faultum import ErrorCode

TABLE = [
    ("SUCCESS", "服务完成"),
    ("SERVICE_BUSY", "服务繁忙，请稍后再试"),
    ("TIMEOUT", "服务超时，请稍后重试"),
    ("IMAGE_GENERATE_FAIL", "图片生成失败，请稍后重试"),
    ("NO_IMAGE_RESULT", "模型未返回图片结果,请调整图像或提示词后重试"),
    ("IMAGE_INVALID", "图片无效或已损坏，请上传有效的图片"),
    ("IMAGE_FORMAT_UNSUPPORTED", "不支持的图片格式"),
    ("IMAGE_SIZE_EXCEEDED", "图片尺寸超出限制，请调整图片大小后重试"),
    ("CONTENT_POLICY_VIOLATION", "您的请求包含违反平台政策的内容,请调整图像或提示词后重试"),
    ("IMAGE_BANNED", "图片包含违禁内容，请更换图片后重试"),
    ("PROMPT_BANNED", "提示词包含违禁内容，请修改后重试"),
    ("PROMPT_EMPTY", "提示词不能为空"),
    ("PROMPT_TOO_LONG", "提示词超出长度限制，请精简后重试"),
    ("INVALID_PARAMS", "请求参数无效，请检查后重试"),
    ("INSUFFICIENT_BALANCE", "服务API余额不足，联系客服充值后重试"),
    ("QUOTA_EXCEEDED", "请求配额已用完，请稍后重试或升级套餐"),
    ("RATE_LIMIT", "请求过于频繁，请稍后再试"),
    ("AUTH_FAILED", "认证失败，请检查 API Key 是否有效"),
]


def test_members_in_order_with_exact_values():
    assert [(m.name, m.value) for m in ErrorCode] == [(code, (code, msg)) for code, msg in TABLE]


@pytest.mark.parametrize("code, msg", TABLE)
def test_code_and_msg_properties(code, msg):
    member = ErrorCode[code]
    assert (member.code, member.msg) == (code, msg)
    assert ErrorCode((code, msg)) is member


def test_is_a_real_enum():
    assert issubclass(ErrorCode, enum.Enum) and type(ErrorCode) is type(enum.Enum)
    assert ErrorCode.__module__ == "valdrix.response.faultum"
    assert ErrorCode.__qualname__ == "ErrorCode"
    assert ErrorCode.__doc__.startswith("统一错误码枚举。")
    assert ErrorCode.SUCCESS != ("SUCCESS", "服务完成")
    assert len(ErrorCode) == 18
    assert list(vars(faultum)).index("Enum") < list(vars(faultum)).index("ErrorCode")


def test_lookup_by_code_alone_is_refused():
    with pytest.raises(ValueError, match="is not a valid ErrorCode"):
        ErrorCode("PROMPT_BANNED")


@pytest.mark.parametrize("attribute", ["code", "msg"])
def test_properties_are_read_only(attribute):
    with pytest.raises(AttributeError):
        setattr(ErrorCode.SUCCESS, attribute, "x")
    prop = ErrorCode.__dict__[attribute]
    assert isinstance(prop, property) and prop.fset is None and prop.__doc__ is None


def test_properties_index_the_value_at_each_access():
    class Shadow(enum.Enum):
        A = ("A", "a")
        code = ErrorCode.__dict__["code"]

    assert Shadow.A.code == "A"


@pytest.mark.parametrize("call", [lambda: ErrorCode.PROMPT_BANNED.msg, lambda: ErrorCode["TIMEOUT"].code])
def test_no_leaks(leak_check, call):
    leak_check(call)


class Holder:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize("value, code, msg", [
    (("C", "M"), "C", "M"),
    (["C", "M", "extra"], "C", "M"),
    ({0: "zero", 1: "one"}, "zero", "one"),  # a subscription, so a mapping answers by key
    ("CM", "C", "M"),
])
def test_code_and_msg_subscribe_the_value(value, code, msg):
    holder = Holder(value)
    assert (ErrorCode.code.fget(holder), ErrorCode.msg.fget(holder)) == (code, msg)


@pytest.mark.parametrize("value, error, message", [
    (5, TypeError, "'int' object is not subscriptable"),
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ({"code": "C"}, KeyError, "0"),
    ((), IndexError, "tuple index out of range"),
])
def test_value_errors_are_the_interpreters(value, error, message):
    with pytest.raises(error, match=message):
        ErrorCode.code.fget(Holder(value))
