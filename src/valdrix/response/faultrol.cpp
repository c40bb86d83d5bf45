// valdrix.response.faultrol: custom error codes beyond the fixed table, and
// a registry of them (one per module object, so each interpreter has its own).
//
// The methods look up what the same classes written in Python would, when
// they would: `CustomErrorCode` and `dict` among the module's globals and
// then the built-ins, `cls._registry` through the class a method is called
// on. One kind of native step stands in for calls: `get` and `clear` on a
// registry that is exactly a dict (its type cannot be changed, so the C API
// does what its methods do).
#include <vxnative/exact_types.hpp>
#include <vxnative/native.hpp>

namespace nb = nanobind;

namespace {

constexpr const char *kSource = "valdrix/response/faultrol.cpp";

constexpr const char *kModuleDoc =
    "Custom error codes. CustomErrorCode offers the same code and msg properties as the "
    "members of ErrorCode; ErrorCodeRegistry keeps one process-wide registry of custom codes "
    "(register, get, list_all, clear).";

constexpr const char *kCustomErrorCodeDoc = "自定义错误码。\n"
                                            "\n"
                                            "用于定义内置 ErrorCode 枚举之外的自定义错误码，\n"
                                            "可直接传给 ServiceResult.fail() 使用。\n"
                                            "\n"
                                            "示例:\n"
                                            "    MY_ERROR = CustomErrorCode(\"MY_ERROR\", \"自定义错误消息\")\n"
                                            "    return ServiceResult.fail(MY_ERROR)\n";

constexpr const char *kRegistryDoc = "错误码注册表。\n"
                                     "\n"
                                     "提供全局注册和查找自定义错误码的功能。\n"
                                     "\n"
                                     "用法:\n"
                                     "    ErrorCodeRegistry.register(\"MY_ERROR\", \"自定义错误消息\")\n"
                                     "    error = ErrorCodeRegistry.get(\"MY_ERROR\")\n"
                                     "    all_errors = ErrorCodeRegistry.list_all()\n";

constexpr const char *kRegisterDoc = "注册一个自定义错误码。\n"
                                     "\n"
                                     "Args:\n"
                                     "    code: 错误码标识\n"
                                     "    msg: 错误消息\n"
                                     "\n"
                                     "Returns:\n"
                                     "    创建的 CustomErrorCode 实例\n";

constexpr const char *kGetDoc = "根据 code 查找已注册的错误码。\n"
                                "\n"
                                "Args:\n"
                                "    code: 错误码标识\n"
                                "\n"
                                "Returns:\n"
                                "    CustomErrorCode 实例或 None\n";

constexpr const char *kListAllDoc = "返回所有已注册的错误码字典。";
constexpr const char *kClearDoc = "清空所有注册的错误码（主要用于测试）。";

// --- the module's state ----------------------------------------------------------

struct State : vx::ModuleState {};

// --- CustomErrorCode -------------------------------------------------------

// self._code = code; self._msg = msg
nb::object custom_init(const vx::Args &args) {
    nb::str code = args.str(1);
    nb::str msg = args.str(2);
    vx::set_attribute(args[0], args.id<"_code">(), code);
    vx::set_attribute(args[0], args.id<"_msg">(), msg);
    return nb::none();
}

nb::object custom_code(const vx::Args &args) {
    return vx::checked_str_result(nb::getattr(args[0], args.id<"_code">()));
}

nb::object custom_msg(const vx::Args &args) {
    return vx::checked_str_result(nb::getattr(args[0], args.id<"_msg">()));
}

// `{value!r}` of an f-string: repr() of the value (the conversion, not a
// lookup of `repr`), then format() of that, as a field without a format does.
nb::object repr_field(nb::handle value) {
    return vx::formatted(vx::steal_or_throw(PyObject_Repr(value.ptr())));
}

// f"CustomErrorCode({self._code!r}, {self._msg!r})"
nb::object custom_repr(const vx::Args &args) {
    nb::object code_repr = repr_field(nb::getattr(args[0], args.id<"_code">()));
    nb::object msg_repr = repr_field(nb::getattr(args[0], args.id<"_msg">()));
    return vx::steal_or_throw(PyUnicode_FromFormat("CustomErrorCode(%U, %U)", code_repr.ptr(), msg_repr.ptr()));
}

// --- ErrorCodeRegistry -----------------------------------------------------

using vx::guard::exact_instance;

// `cls._registry`: found through the class the method was called on, so a
// subclass may keep one of its own.
nb::object registry_of(const vx::Args &args) {
    return nb::getattr(args[0], args.id<"_registry">());
}

// error_code = CustomErrorCode(code, msg); cls._registry[code] = error_code
// (the class found among the module's globals now)
nb::object registry_register(const vx::Args &args) {
    nb::str code = args.str(1);
    nb::str msg = args.str(2);
    nb::object error_code = vx::call(args.global<"CustomErrorCode">(), {code, msg});
    nb::object registry = registry_of(args);
    if (PyObject_SetItem(registry.ptr(), code.ptr(), error_code.ptr()) < 0)
        throw nb::python_error();
    return error_code;
}

// cls._registry.get(code)
nb::object registry_get(const vx::Args &args) {
    nb::str code = args.str(1);
    nb::object registry = registry_of(args);
    if (!exact_instance(registry, &PyDict_Type))
        return vx::call(nb::getattr(registry, args.id<"get">()), {code});
    PyObject *found = PyDict_GetItemWithError(registry.ptr(), code.ptr());
    if (!found) {
        vx::throw_if_error();
        return nb::none();
    }
    return nb::borrow(found);
}

// dict(cls._registry): the callee is looked up first.
nb::object registry_list_all(const vx::Args &args) {
    nb::object dict_class = args.global<"dict">();
    nb::object registry = registry_of(args);
    return vx::call(dict_class, {registry});
}

// cls._registry.clear()
nb::object registry_clear(const vx::Args &args) {
    nb::object registry = registry_of(args);
    if (exact_instance(registry, &PyDict_Type))
        PyDict_Clear(registry.ptr());
    else
        vx::call(nb::getattr(registry, args.id<"clear">()), {});
    return nb::none();
}

nb::object add_custom_error_code(const vx::ModuleContext &module) {
    vx::ClassBuilder custom(module, "CustomErrorCode", kCustomErrorCodeDoc);
    custom.method({.name = "__init__",
                   .implementation = custom_init,
                   .params = {{"self"}, {"code", "str"}, {"msg", "str"}},
                   .source_line = __LINE__});
    custom.property({.name = "code",
                     .implementation = custom_code,
                     .params = {{"self"}},
                     .return_annotation = "str",
                     .source_line = __LINE__});
    custom.property({.name = "msg",
                     .implementation = custom_msg,
                     .params = {{"self"}},
                     .return_annotation = "str",
                     .source_line = __LINE__});
    custom.method({.name = "__repr__",
                   .implementation = custom_repr,
                   .params = {{"self"}},
                   .return_annotation = "str",
                   .source_line = __LINE__});
    return custom.finish();
}

void add_registry(const vx::ModuleContext &module) {
    vx::ClassBuilder registry(module, "ErrorCodeRegistry", kRegistryDoc);
    nb::dict annotations;
    if (PyDict_SetItem(annotations.ptr(), nb::str("_registry").ptr(), nb::str("Dict[str, CustomErrorCode]").ptr()) < 0)
        throw nb::python_error();
    registry.set("__annotations__", annotations);
    registry.set("_registry", nb::dict());
    registry.class_method({.name = "register",
                           .implementation = registry_register,
                           .params = {{"cls"}, {"code", "str"}, {"msg", "str"}},
                           .doc = kRegisterDoc,
                           .return_annotation = "CustomErrorCode",
                           .source_line = __LINE__});
    registry.class_method({.name = "get",
                           .implementation = registry_get,
                           .params = {{"cls"}, {"code", "str"}},
                           .doc = kGetDoc,
                           .return_annotation = "Optional[CustomErrorCode]",
                           .source_line = __LINE__});
    registry.class_method({.name = "list_all",
                           .implementation = registry_list_all,
                           .params = {{"cls"}},
                           .doc = kListAllDoc,
                           .return_annotation = "Dict[str, CustomErrorCode]",
                           .source_line = __LINE__});
    registry.class_method({.name = "clear",
                           .implementation = registry_clear,
                           .params = {{"cls"}},
                           .doc = kClearDoc,
                           .source_line = __LINE__});
    registry.finish();
}

} // namespace

VX_MODULE(faultrol, State, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    module.bind_from("typing", {"Dict", "Optional"});
    add_custom_error_code(module);
    add_registry(module);
}
