// valdrix.response.faultum: the service's fixed table of unified error codes.
#include <vxnative/class_facts.hpp>
#include <vxnative/globals_guard.hpp>
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

using Captured = vx::guard::Captures<"Enum", "Enum.value">;

// The class of Enum's `value` descriptor and its version tag at import.
struct ValueDescriptorClass final : vx::StatePart {
    ValueDescriptorClass(vx::ModuleState &state, const Captured &captured) : StatePart(state), captured(captured) {}

    void capture(nb::handle) override {
        if (nb::handle descriptor = captured.get<"Enum.value">()) {
            type = Py_TYPE(descriptor.ptr());
            tag = vx::guard::version_tag(type);
        }
    }
    int traverse(visitproc, void *) const override { return 0; }
    void clear() override { tag = 0; }

    bool unchanged(nb::handle descriptor) const {
        return tag != 0 && Py_TYPE(descriptor.ptr()) == type && vx::guard::version_tag(type) == tag;
    }

    const Captured &captured;
    PyTypeObject *type = nullptr; // held by the descriptor, which `captured` holds
    unsigned int tag = 0;
};

struct State : vx::ModuleState {
    Captured captured{*this};
    ValueDescriptorClass value_descriptor_class{*this, captured};
    // Per class: whether its members' `value` is Enum's own, which returns
    // `self._value_`.
    vx::guard::ClassFactsCache<bool, 2> enum_values;
};

// True when `self.value` is Enum's own property, unchanged since import, and
// so gives `self._value_` (a lookup that skips the property's Python code).
bool value_is_enums_own(State &state, nb::handle self) {
    nb::handle descriptor = state.captured.get<"Enum.value">();
    if (!descriptor || !state.value_descriptor_class.unchanged(descriptor))
        return false;
    PyTypeObject *type = Py_TYPE(self.ptr());
    const bool *own = state.enum_values.find_for_instances(type, [&](PyTypeObject *found) {
        return found->tp_getattro == PyObject_GenericGetAttr &&
               descriptor.is(vx::guard::class_namespace_entry(found, state.names.get<"value">()));
    });
    return own && *own;
}

// `self.value[index]`, read afresh on every access: a subscription, so a
// value of any type answers it in its own way (a mapping by key), with the
// interpreter's error for one that cannot be subscripted.
nb::object value_item(const vx::Args &args, Py_ssize_t index) {
    nb::handle self = args[0];
    bool own = value_is_enums_own(args.state<State>(), self);
    nb::object value = nb::getattr(self, own ? args.id<"_value_">() : args.id<"value">());
    if (PyTuple_CheckExact(value.ptr()) && index < PyTuple_GET_SIZE(value.ptr()))
        return nb::borrow(PyTuple_GET_ITEM(value.ptr(), index));
    return vx::steal_or_throw(PyObject_GetItem(value.ptr(), vx::new_int(index).ptr()));
}

nb::object code(const vx::Args &args) {
    return value_item(args, 0);
}

nb::object msg(const vx::Args &args) {
    return value_item(args, 1);
}

} // namespace

VX_MODULE(faultum, State, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    nb::object enum_base = module.import_from("enum", "Enum");
    module.bind("Enum", enum_base);

    vx::ClassBuilder error_code(module, "ErrorCode", kErrorCodeDoc, nb::make_tuple(enum_base));
    for (const Member &member : kMembers)
        error_code.set(member.name, nb::make_tuple(nb::str(member.name), nb::str(member.message)));
    error_code.property({.name = "code", .implementation = code, .params = {{"self"}}, .source_line = __LINE__});
    error_code.property({.name = "msg", .implementation = msg, .params = {{"self"}}, .source_line = __LINE__});
    error_code.finish();
}
