// valdrix.response.faultrol: custom error codes beyond the fixed table, and
// one process-wide registry of them.
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

// --- CustomErrorCode -------------------------------------------------------

void store_code_and_msg(nb::handle self, nb::handle code, nb::handle msg) {
    self.attr(VX_ID("_code")) = code;
    self.attr(VX_ID("_msg")) = msg;
}

nb::object custom_init(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str code = args.str(1);
    nb::str msg = args.str(2);
    store_code_and_msg(self, code, msg);
    return nb::none();
}

// The class defined here and the version tag it had when the module was set
// up. Building a code without calling the class gives exactly what the call
// gives only while the class is still that class, its metaclass type, and
// nothing in it or its bases changed since: a replaced __init__, __new__,
// __setattr__ or __init_subclass__, a descriptor for _code or _msg, new
// bases. Every such change gives the class a new tag, and the interpreter
// never hands out a tag twice.
struct {
    PyObject *cls = nullptr;
    unsigned int version = 0;
} original_custom;

bool constructs_as_defined_here(nb::handle cls) {
    if (cls.ptr() != original_custom.cls || !Py_IS_TYPE(cls.ptr(), &PyType_Type) || original_custom.version == 0)
        return false;
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    return PyUnstable_Type_AssignVersionTag(type) && type->tp_version_tag == original_custom.version;
}

// `CustomErrorCode(code, msg)` with the class found among the module's
// globals now; both arguments are already known to be exact str.
nb::object new_custom_error_code(const vx::Args &args, nb::handle code, nb::handle msg) {
    nb::object cls = args.global(VX_ID("CustomErrorCode"));
    if (!constructs_as_defined_here(cls))
        return cls(code, msg);
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object instance = vx::steal_or_throw(type->tp_alloc(type, 0));
    store_code_and_msg(instance, code, msg);
    return instance;
}

nb::object custom_code(const vx::Args &args) {
    return vx::checked_str_result(args[0].attr(VX_ID("_code")));
}

nb::object custom_msg(const vx::Args &args) {
    return vx::checked_str_result(args[0].attr(VX_ID("_msg")));
}

nb::object custom_repr(const vx::Args &args) {
    nb::handle self = args[0];
    nb::str code_repr = nb::repr(self.attr(VX_ID("_code")));
    nb::str msg_repr = nb::repr(self.attr(VX_ID("_msg")));
    return vx::steal_or_throw(PyUnicode_FromFormat("CustomErrorCode(%U, %U)", code_repr.ptr(), msg_repr.ptr()));
}

// --- ErrorCodeRegistry -----------------------------------------------------

// The registry as found through the class the method was called on, so a
// subclass may keep one of its own.
nb::object registry_of(nb::handle cls) {
    return cls.attr(VX_ID("_registry"));
}

nb::object registry_register(const vx::Args &args) {
    nb::str code = args.str(1);
    nb::str msg = args.str(2);
    nb::object error_code = new_custom_error_code(args, code, msg);
    nb::object registry = registry_of(args[0]);
    if (PyObject_SetItem(registry.ptr(), code.ptr(), error_code.ptr()) < 0)
        throw nb::python_error();
    return error_code;
}

nb::object registry_get(const vx::Args &args) {
    nb::str code = args.str(1);
    nb::object registry = registry_of(args[0]);
    if (!PyDict_CheckExact(registry.ptr()))
        return registry.attr(VX_ID("get"))(code);
    PyObject *found = PyDict_GetItemWithError(registry.ptr(), code.ptr());
    if (!found) {
        vx::throw_if_error();
        return nb::none();
    }
    return nb::borrow(found);
}

nb::object registry_list_all(const vx::Args &args) {
    nb::object dict_class = args.global(VX_ID("dict")); // dict(cls._registry): the callee first
    nb::object registry = registry_of(args[0]);
    if (dict_class.is(reinterpret_cast<PyObject *>(&PyDict_Type)) && PyDict_CheckExact(registry.ptr()))
        return vx::steal_or_throw(PyDict_Copy(registry.ptr()));
    return dict_class(registry);
}

nb::object registry_clear(const vx::Args &args) {
    nb::object registry = registry_of(args[0]);
    if (PyDict_CheckExact(registry.ptr()))
        PyDict_Clear(registry.ptr());
    else
        registry.attr(VX_ID("clear"))();
    return nb::none();
}

} // namespace

VX_MODULE(faultrol, module) {
    vx::ModuleContext context{module, kSource};
    context.bind("__doc__", nb::str(kModuleDoc));
    nb::object typing = vx::ModuleContext::import("typing");
    context.bind("Dict", typing.attr("Dict"));
    context.bind("Optional", typing.attr("Optional"));

    vx::ClassBuilder custom(context, "CustomErrorCode", kCustomErrorCodeDoc);
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
    nb::object custom_class = custom.finish();
    // Kept for the life of the process, as the module keeps its classes.
    auto *custom_type = reinterpret_cast<PyTypeObject *>(custom_class.ptr());
    if (PyUnstable_Type_AssignVersionTag(custom_type))
        original_custom.version = custom_type->tp_version_tag;
    original_custom.cls = custom_class.release().ptr();

    vx::ClassBuilder registry(context, "ErrorCodeRegistry", kRegistryDoc);
    nb::dict annotations;
    annotations["_registry"] = "Dict[str, CustomErrorCode]";
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
