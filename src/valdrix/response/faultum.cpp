// valdrix.response.faultum: the service's fixed table of unified error codes.
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>

namespace nb = nanobind;

namespace {

constexpr const char *kSource = "valdrix/response/faultum.cpp";

constexpr const char *kModuleDoc =
    "Unified error codes. ErrorCode is an enumeration of the service's eighteen error codes; "
    "each member's value is a (code, message) pair, read through the properties code and msg.";

constexpr const char *kErrorCodeDoc = "统一错误码枚举。\n"
                                      "\n"
                                      "每个成员为 (code, msg) 元组：\n"
                                      "- code: 错误标识字符串\n"
                                      "- msg: 用户可读的错误描述\n";

struct Member {
    const char *name;
    const char *message;
};

// Definition order is iteration order.
constexpr Member kMembers[] = {
    {"SUCCESS", "服务完成"},
    {"SERVICE_BUSY", "服务繁忙，请稍后再试"},
    {"TIMEOUT", "服务超时，请稍后重试"},
    {"IMAGE_GENERATE_FAIL", "图片生成失败，请稍后重试"},
    {"NO_IMAGE_RESULT", "模型未返回图片结果,请调整图像或提示词后重试"},
    {"IMAGE_INVALID", "图片无效或已损坏，请上传有效的图片"},
    {"IMAGE_FORMAT_UNSUPPORTED", "不支持的图片格式"},
    {"IMAGE_SIZE_EXCEEDED", "图片尺寸超出限制，请调整图片大小后重试"},
    {"CONTENT_POLICY_VIOLATION", "您的请求包含违反平台政策的内容,请调整图像或提示词后重试"},
    {"IMAGE_BANNED", "图片包含违禁内容，请更换图片后重试"},
    {"PROMPT_BANNED", "提示词包含违禁内容，请修改后重试"},
    {"PROMPT_EMPTY", "提示词不能为空"},
    {"PROMPT_TOO_LONG", "提示词超出长度限制，请精简后重试"},
    {"INVALID_PARAMS", "请求参数无效，请检查后重试"},
    {"INSUFFICIENT_BALANCE", "服务API余额不足，联系客服充值后重试"},
    {"QUOTA_EXCEEDED", "请求配额已用完，请稍后重试或升级套餐"},
    {"RATE_LIMIT", "请求过于频繁，请稍后再试"},
    {"AUTH_FAILED", "认证失败，请检查 API Key 是否有效"},
};

// `self.value[index]`, read afresh on every access: a subscription, so a
// value of any type answers it in its own way (a mapping by key), with the
// interpreter's error for one that cannot be subscripted.
nb::object value_item(const vx::Args &args, nb::handle index) {
    nb::object value = nb::getattr(args[0], args.id<"value">());
    return vx::steal_or_throw(PyObject_GetItem(value.ptr(), index.ptr()));
}

nb::object code(const vx::Args &args) {
    return value_item(args, vx::new_int(0));
}

nb::object msg(const vx::Args &args) {
    return value_item(args, vx::new_int(1));
}

} // namespace

VX_MODULE(faultum, vx::ModuleState, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    nb::object enum_base = vx::ModuleContext::import_from("enum", "Enum");
    module.bind("Enum", enum_base);

    vx::ClassBuilder error_code(module, "ErrorCode", kErrorCodeDoc, nb::make_tuple(enum_base));
    for (const Member &member : kMembers)
        error_code.set(member.name, nb::make_tuple(nb::str(member.name), nb::str(member.message)));
    error_code.property({.name = "code", .implementation = code, .params = {{"self"}}, .source_line = __LINE__});
    error_code.property({.name = "msg", .implementation = msg, .params = {{"self"}}, .source_line = __LINE__});
    error_code.finish();
}
