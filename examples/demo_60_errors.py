"""Error codes: the fixed table and the custom-code registry"""

import pathlib

from valdrix.response.faultrol import CustomErrorCode, ErrorCodeRegistry
from valdrix.response.faultum import ErrorCode


def describe(error) -> str:
    # Fixed and custom codes answer the same two properties.
    return f"{error.code:<26} {error.msg}"


def main(out_dir: pathlib.Path) -> None:
    print(f"{len(ErrorCode)} fixed error codes:")
    for member in ErrorCode:
        print("  " + describe(member))

    ErrorCodeRegistry.clear()
    ErrorCodeRegistry.register("MODEL_OFFLINE", "模型服务暂不可用，请稍后重试")
    ErrorCodeRegistry.register("MY_ERROR", "自定义错误消息")
    print("\ncustom codes in the registry:")
    for code, error in ErrorCodeRegistry.list_all().items():
        print(f"  {error!r}")
    looked_up = ErrorCodeRegistry.get("MY_ERROR")
    print("\nget('MY_ERROR') ->", describe(looked_up))
    print("get('UNKNOWN')  ->", ErrorCodeRegistry.get("UNKNOWN"))
    print("a code made by hand:", CustomErrorCode("LOCAL", "本地错误"))
    ErrorCodeRegistry.clear()
