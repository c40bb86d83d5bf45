// valdrix.dimora: legal output sizes for the image model "gpt-image-2".
//
// Each class method has two routes. The general route spells out the method
// with interpreter objects: constants read through `cls` at every use,
// siblings called through `cls`, `math` found among the module's globals at
// each use, numbers combined by the interpreter's own operators. The native
// route does the same arithmetic on machine numbers (vxcore/dimora_sizes.hpp)
// and is taken only when it cannot differ: `cls` is an ordinary class whose
// attributes resolve, without any descriptor, to exact ints and floats, its
// sibling methods are the ones defined here, `math.sqrt` and `math.floor` are
// the standard ones, and every number stays where a double is exact. Anything
// else, overrides and errors included, goes the general way.
#include <vxcore/dimora_sizes.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace nb = nanobind;
namespace sizes = vxcore::dimora;

namespace {

constexpr const char *kSource = "valdrix/dimora.cpp";

constexpr const char *kModuleDoc =
    "Generation size calculation for the image model gpt-image-2. GPTImageSizeCalculator "
    "aligns edges to multiples of 16, checks sizes against the model's limits (pixel count, "
    "longest edge, aspect ratio at most 3:1) and computes a legal size from an aspect-ratio "
    "string and a resolution tier (\"1k\", \"2k\", \"4k\").";

constexpr const char *kClassDoc = "gpt-image-2 尺寸计算器\n"
                                  "\n"
                                  "根据 aspect_ratio + resolution 生成合规尺寸，自动满足：\n"
                                  "- 最长边 ≤ 3840\n"
                                  "- 宽高均为 16 的倍数\n"
                                  "- 宽高比 ≤ 3:1\n"
                                  "- 总像素 655360 ≤ pixels ≤ 8294400\n";

constexpr const char *kRoundDoc = "四舍五入对齐到指定倍数，最小不低于倍数本身";
constexpr const char *kFloorDoc = "向下对齐倍数，用于像素超限时压缩";
constexpr const char *kIsValidDoc = "完整校验所有尺寸约束";

constexpr const char *kCalcSizeDoc = "生成合规图像尺寸，严格限制总像素不超过8294400\n"
                                     "\n"
                                     "Args:\n"
                                     "    aspect_ratio: 宽高比字符串，如 1:1、16:9、9:16、4:3、7:10\n"
                                     "    resolution: 分辨率档位 1k / 2k / 4k\n"
                                     "\n"
                                     "Returns:\n"
                                     "    dict: 宽、高、尺寸字符串、总像素、宽高比、分辨率档位、是否合规\n";

constexpr const char *kRatioTooWide = "宽高比超出限制3:1，输入比例：";

// Objects the module was built with. The native route is taken only while a
// call would still reach these. Held for the life of the interpreter, like
// the module itself.
struct Sibling {
    PyObject *class_method = nullptr;
    PyObject *function = nullptr;
    PyObject *defaults = nullptr; // the function's __defaults__, held so its address stays its own
};

struct Originals {
    PyObject *math_module = nullptr;
    PyObject *sqrt = nullptr;
    PyObject *floor = nullptr;
    PyObject *round = nullptr; // the built-in round
    Sibling round_to_multiple;
    Sibling floor_to_multiple;
    Sibling is_valid_image_size;
    PyMemberDef *func_member = nullptr; // classmethod.__func__
};

Originals originals;

// --- the interpreter's operations -----------------------------------------------

using vx::compare;
using vx::comparison;
using vx::int_of;
using vx::number_op;
using vx::truth;

// Built-in max and min of two: the first one unless the second compares
// greater (smaller).
nb::object larger(nb::handle first, nb::handle second) {
    int second_wins = PyObject_RichCompareBool(second.ptr(), first.ptr(), Py_GT);
    if (second_wins < 0)
        throw nb::python_error();
    return nb::borrow(second_wins ? second : first);
}

nb::object smaller(nb::handle first, nb::handle second) {
    int second_wins = PyObject_RichCompareBool(second.ptr(), first.ptr(), Py_LT);
    if (second_wins < 0)
        throw nb::python_error();
    return nb::borrow(second_wins ? second : first);
}

nb::object math_function(const vx::Args &args, nb::handle name) {
    return args.global(VX_ID("math")).attr(name);
}

void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// --- what the native route may rely on -----------------------------------------

// A lookup of a str key in a table keyed only by exact strs compares strs
// and nothing else. Any other key may run its own __eq__ in the middle of the
// lookup, and that code may replace or empty the table whose entries are
// held here without references; such tables go the general way.
bool keyed_by_str_only(PyObject *table) {
    Py_ssize_t position = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(table, &position, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return false;
    return true;
}

// `cls.<name>` when that is a plain class attribute: the entry of the first
// class along the MRO that has the name. Null for a missing name, and for a
// namespace with keys other than strs. Only meaningful for a class whose
// metaclass is type, where no Python code runs in the lookup; the caller
// accepts only objects without a __get__ (exact ints, floats, dicts) or the
// original class methods.
PyObject *plain_class_attribute(PyTypeObject *type, nb::handle name) {
    PyObject *mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject *dict = PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i)));
        if (!dict)
            return nullptr;
        if (!keyed_by_str_only(dict)) {
            Py_DECREF(dict);
            return nullptr;
        }
        PyObject *found = PyDict_GetItemWithError(dict, name.ptr());
        Py_DECREF(dict);
        if (found)
            return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
}

// Exact ints up to this magnitude are exact as doubles.
constexpr int64_t kExactInteger = sizes::kExactIntegerLimit;
using vx::native_int;

// An exact float, or a plain integer as its (exact) double.
std::optional<double> plain_real(PyObject *value) {
    if (value && PyFloat_CheckExact(value))
        return PyFloat_AS_DOUBLE(value);
    if (std::optional<int64_t> integer = native_int(value, kExactInteger))
        return static_cast<double>(*integer);
    return std::nullopt;
}

// What the native route needs to know about a class: its constants where
// they are plain numbers, its preset table where that is an exact dict, and
// whether its sibling methods are the ones defined here.
struct ClassFacts {
    PyTypeObject *type = nullptr;
    unsigned int version = 0;
    std::optional<int64_t> multiple;
    std::optional<sizes::SizeLimits> limits;
    PyObject *preset = nullptr; // borrowed from the class, like the version it belongs to
    bool siblings_original = false;
};

bool sibling_found(PyTypeObject *type, nb::handle name, const Sibling &original) {
    return plain_class_attribute(type, name) == original.class_method;
}

ClassFacts resolve_facts(PyTypeObject *type, unsigned int version) {
    ClassFacts facts;
    facts.type = type;
    facts.version = version;
    facts.multiple = native_int(plain_class_attribute(type, VX_ID("MULTIPLE")), kExactInteger);
    std::optional<int64_t> min_pixels = native_int(plain_class_attribute(type, VX_ID("MIN_PIXELS")), kExactInteger);
    std::optional<int64_t> max_pixels = native_int(plain_class_attribute(type, VX_ID("MAX_PIXELS")), kExactInteger);
    std::optional<int64_t> max_edge = native_int(plain_class_attribute(type, VX_ID("MAX_EDGE")), kExactInteger);
    std::optional<double> max_ratio = plain_real(plain_class_attribute(type, VX_ID("MAX_RATIO")));
    if (min_pixels && max_pixels && max_edge && facts.multiple && max_ratio)
        facts.limits = sizes::SizeLimits{*min_pixels, *max_pixels, *max_edge, *facts.multiple, *max_ratio};
    PyObject *preset = plain_class_attribute(type, VX_ID("RESOLUTION_PRESET"));
    facts.preset = preset && PyDict_CheckExact(preset) ? preset : nullptr;
    facts.siblings_original = sibling_found(type, VX_ID("round_to_multiple"), originals.round_to_multiple) &&
                              sibling_found(type, VX_ID("floor_to_multiple"), originals.floor_to_multiple) &&
                              sibling_found(type, VX_ID("is_valid_image_size"), originals.is_valid_image_size);
    return facts;
}

// Facts of recently used classes. An entry stays valid while its class keeps
// the version tag it had: the interpreter gives a class a new tag whenever
// the class or one of its bases changes, and never reuses a tag, so this is
// exactly as current as the interpreter's own attribute cache.
class FactsCache {
  public:
    // Facts about `cls`; an empty set (nothing plain) when its attribute
    // lookup could run Python code: not a class, or a metaclass other
    // than type.
    const ClassFacts &facts_of(nb::handle cls) {
        if (!Py_IS_TYPE(cls.ptr(), &PyType_Type)) {
            uncached_ = ClassFacts{};
            return uncached_;
        }
        auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
        unsigned int version = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
        if (version != 0)
            for (const ClassFacts &entry : entries_)
                if (entry.type == type && entry.version == version)
                    return entry;
        ClassFacts &slot = version != 0 ? entries_[next_++ % kEntries] : uncached_;
        slot = resolve_facts(type, version);
        return slot;
    }

  private:
    static constexpr size_t kEntries = 4;
    ClassFacts entries_[kEntries];
    ClassFacts uncached_;
    size_t next_ = 0;
};

FactsCache facts_cache;

// The module global `math` is the standard module, unchanged in the
// functions named.
// Dicts that a check of the native route found as it needs them: the
// module namespace, the namespace of `math`, a preset table. A dict watcher
// (the interpreter's hook, called before any change of a watched dict and
// when one is freed) advances the generation, so a check made in the current
// generation still holds without looking again. Without a watcher slot every
// call looks again.
struct WatchedDicts {
    int watcher = -1;
    uint64_t generation = 1;

    static int on_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *);

    // Watches `dict`; false when that is not possible, and a check that
    // relies on it must not be remembered.
    bool watch(PyObject *dict) {
        if (watcher < 0 || !PyDict_Check(dict))
            return false;
        if (PyDict_Watch(watcher, dict) < 0) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
};

WatchedDicts watched;

int WatchedDicts::on_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++watched.generation;
    return 0;
}

// The module global `math` is the standard module, unchanged in the
// functions named.
bool math_looks_original(PyObject *globals, bool need_sqrt, bool need_floor) {
    PyObject *math = PyDict_GetItemWithError(globals, VX_ID("math").ptr());
    if (math != originals.math_module || !Py_IS_TYPE(math, &PyModule_Type)) {
        PyErr_Clear();
        return false;
    }
    PyObject *names = PyModule_GetDict(math);
    bool original = (!need_sqrt || PyDict_GetItemWithError(names, VX_ID("sqrt").ptr()) == originals.sqrt) &&
                    (!need_floor || PyDict_GetItemWithError(names, VX_ID("floor").ptr()) == originals.floor);
    PyErr_Clear();
    return original;
}

struct {
    PyObject *globals = nullptr;
    uint64_t generation = 0;
} math_checked;

bool math_is_original(const vx::Args &args, bool need_sqrt, bool need_floor) {
    PyObject *globals = args.globals().ptr();
    // A module's class can be swapped without touching a dict, so the
    // watcher does not see it: the cached answer checks it anew.
    if (globals == math_checked.globals && math_checked.generation == watched.generation &&
        Py_IS_TYPE(originals.math_module, &PyModule_Type))
        return true;
    if (!math_looks_original(globals, true, true))
        return math_looks_original(globals, need_sqrt, need_floor);
    if (watched.watch(globals) && watched.watch(PyModule_GetDict(originals.math_module)))
        math_checked = {globals, watched.generation};
    return true;
}

// The class method still wraps the function defined here, with the defaults
// it was defined with: a classmethod can be re-initialised with another
// function, and a function given other __defaults__, without any change to
// the class; calc_size's sibling calls leave `multiple` to the default.
bool still_wraps_original(const Sibling &sibling) {
    if (reinterpret_cast<vx::FunctionObject *>(sibling.function)->defaults != sibling.defaults)
        return false;
    PyObject *function = PyMember_GetOne(reinterpret_cast<const char *>(sibling.class_method), originals.func_member);
    if (!function) {
        PyErr_Clear();
        return false;
    }
    bool same = function == sibling.function;
    Py_DECREF(function);
    return same;
}

bool siblings_are_original(const ClassFacts &facts) {
    return facts.siblings_original && still_wraps_original(originals.round_to_multiple) &&
           still_wraps_original(originals.floor_to_multiple) && still_wraps_original(originals.is_valid_image_size);
}

// --- round_to_multiple, floor_to_multiple ----------------------------------------

nb::object multiple_or_default(const vx::Args &args) {
    if (args[2].is_none())
        return args[0].attr(VX_ID("MULTIPLE"));
    return nb::borrow(args[2]);
}

enum class Steps { round, floor };

// max(multiple, int(steps(value / multiple) * multiple)) with the
// interpreter's objects; math.floor is looked up before the division, as the
// expression evaluates it.
nb::object align_generally(const vx::Args &args, Steps kind) {
    nb::object multiple = multiple_or_default(args);
    nb::object steps = kind == Steps::floor ? math_function(args, VX_ID("floor")) : nb::borrow(originals.round);
    nb::object count = steps(number_op(PyNumber_TrueDivide, args[1], multiple));
    nb::object aligned = int_of(number_op(PyNumber_Multiply, count, multiple));
    return vx::checked_int_result(larger(multiple, aligned));
}

template <typename Align> std::optional<int64_t> align_natively(const vx::Args &args, Align align) {
    std::optional<int64_t> step =
        args[2].is_none() ? facts_cache.facts_of(args[0]).multiple : native_int(args[2], kExactInteger);
    std::optional<double> value = plain_real(args[1].ptr());
    if (!step || !value)
        return std::nullopt;
    return align(*value, *step);
}

nb::object round_to_multiple(const vx::Args &args) {
    if (std::optional<int64_t> aligned = align_natively(args, sizes::round_to_multiple))
        return vx::steal_or_throw(PyLong_FromLongLong(*aligned));
    return align_generally(args, Steps::round);
}

nb::object floor_to_multiple(const vx::Args &args) {
    if (math_is_original(args, false, true))
        if (std::optional<int64_t> aligned = align_natively(args, sizes::floor_to_multiple))
            return vx::steal_or_throw(PyLong_FromLongLong(*aligned));
    return align_generally(args, Steps::floor);
}

// --- is_valid_image_size -------------------------------------------------------

// The five conditions, each evaluated, then all() over them.
nb::object is_valid_generally(nb::handle cls, nb::handle width, nb::handle height) {
    nb::object pixels = number_op(PyNumber_Multiply, width, height);
    nb::object long_edge = larger(width, height);
    nb::object short_edge = smaller(width, height);
    nb::object ratio = number_op(PyNumber_TrueDivide, long_edge, short_edge);
    nb::int_ zero(0);
    nb::object conditions[5];
    conditions[0] = comparison(long_edge, cls.attr(VX_ID("MAX_EDGE")), Py_LE);
    conditions[1] = comparison(number_op(PyNumber_Remainder, width, cls.attr(VX_ID("MULTIPLE"))), zero, Py_EQ);
    conditions[2] = comparison(number_op(PyNumber_Remainder, height, cls.attr(VX_ID("MULTIPLE"))), zero, Py_EQ);
    conditions[3] = comparison(ratio, cls.attr(VX_ID("MAX_RATIO")), Py_LE);
    conditions[4] = comparison(cls.attr(VX_ID("MIN_PIXELS")), pixels, Py_LE);
    if (truth(conditions[4]))
        conditions[4] = comparison(pixels, cls.attr(VX_ID("MAX_PIXELS")), Py_LE);
    for (const nb::object &condition : conditions)
        if (!truth(condition))
            return nb::bool_(false);
    return nb::bool_(true);
}

std::optional<bool> is_valid_natively(nb::handle cls, nb::handle width, nb::handle height) {
    std::optional<sizes::SizeLimits> limits = facts_cache.facts_of(cls).limits;
    std::optional<int64_t> plain_width = native_int(width, kExactInteger);
    std::optional<int64_t> plain_height = native_int(height, kExactInteger);
    if (!limits || !plain_width || !plain_height)
        return std::nullopt;
    return sizes::is_valid_image_size(*plain_width, *plain_height, *limits);
}

nb::object is_valid_image_size(const vx::Args &args) {
    nb::int_ width = args.integer(1);
    nb::int_ height = args.integer(2);
    if (std::optional<bool> valid = is_valid_natively(args[0], width, height))
        return nb::bool_(*valid);
    return is_valid_generally(args[0], width, height);
}

// --- calc_size: ratio text -----------------------------------------------------

struct RatioTerms {
    nb::object width;
    nb::object height;
};

// `rw, rh = map(int, aspect_ratio.split(":"))`: the parts are converted in
// order, a third one before the unpacking complains about it.
RatioTerms parse_ratio_generally(nb::handle aspect_ratio) {
    nb::object parts = vx::steal_or_throw(PyUnicode_Split(aspect_ratio.ptr(), VX_ID(":").ptr(), -1));
    Py_ssize_t count = PyList_GET_SIZE(parts.ptr());
    RatioTerms terms;
    terms.width = int_of(PyList_GET_ITEM(parts.ptr(), 0));
    if (count < 2)
        vx::raise_too_few_to_unpack(1);
    terms.height = int_of(PyList_GET_ITEM(parts.ptr(), 1));
    if (count > 2) {
        int_of(PyList_GET_ITEM(parts.ptr(), 2));
        vx::raise_too_many_to_unpack(2);
    }
    return terms;
}

using NativeTerms = std::optional<std::pair<int64_t, int64_t>>;

// The terms of a ratio written plainly ("16:9", "-4:3"), read without
// making objects; anything else is left to parse_ratio_generally.
NativeTerms parse_plain_ratio(nb::handle aspect_ratio) {
    PyObject *text = aspect_ratio.ptr();
    if (!PyUnicode_IS_ASCII(text))
        return std::nullopt;
    return sizes::parse_plain_ratio(std::string_view(static_cast<const char *>(PyUnicode_DATA(text)),
                                                     static_cast<size_t>(PyUnicode_GET_LENGTH(text))));
}

[[noreturn]] void raise_ratio_too_wide(nb::handle aspect_ratio) {
    nb::object prefix = vx::steal_or_throw(PyUnicode_FromString(kRatioTooWide));
    nb::object message = vx::steal_or_throw(PyUnicode_Concat(prefix.ptr(), aspect_ratio.ptr()));
    vx::raise_object(PyExc_ValueError, message);
}

// --- calc_size: the general route ----------------------------------------------

struct Working {
    nb::object width;
    nb::object height;
};

nb::object target_pixels_generally(nb::handle cls, nb::handle resolution) {
    nb::object preset_get = cls.attr(VX_ID("RESOLUTION_PRESET")).attr(VX_ID("get"));
    nb::object fallback = cls.attr(VX_ID("RESOLUTION_PRESET"))[VX_ID("2k")];
    nb::object target = preset_get(resolution, fallback);
    nb::object lower_bound = cls.attr(VX_ID("MIN_PIXELS"));
    return larger(lower_bound, smaller(target, cls.attr(VX_ID("MAX_PIXELS"))));
}

void scale_generally(Working &size, nb::handle scale) {
    size.width = number_op(PyNumber_InPlaceMultiply, size.width, scale);
    size.height = number_op(PyNumber_InPlaceMultiply, size.height, scale);
}

// One correction of an invalid aligned size, the first that applies.
void correct_generally(const vx::Args &args, Working &size, nb::handle current_pixels) {
    nb::handle cls = args[0];
    if (compare(current_pixels, cls.attr(VX_ID("MAX_PIXELS")), Py_GT)) {
        nb::object sqrt = math_function(args, VX_ID("sqrt"));
        nb::object root = sqrt(number_op(PyNumber_TrueDivide, nb::getattr(cls, VX_ID("MAX_PIXELS")), current_pixels));
        scale_generally(size, number_op(PyNumber_Multiply, root, nb::float_(sizes::kShrinkMargin)));
        return;
    }
    nb::object long_edge = larger(size.width, size.height);
    if (compare(long_edge, cls.attr(VX_ID("MAX_EDGE")), Py_GT)) {
        scale_generally(size, number_op(PyNumber_TrueDivide, nb::getattr(cls, VX_ID("MAX_EDGE")), long_edge));
        return;
    }
    if (compare(current_pixels, cls.attr(VX_ID("MIN_PIXELS")), Py_LT)) {
        nb::object sqrt = math_function(args, VX_ID("sqrt"));
        scale_generally(size,
                        sqrt(number_op(PyNumber_TrueDivide, nb::getattr(cls, VX_ID("MIN_PIXELS")), current_pixels)));
        return;
    }
    size.width = cls.attr(VX_ID("floor_to_multiple"))(size.width);
    size.height = cls.attr(VX_ID("floor_to_multiple"))(size.height);
}

void settle_generally(const vx::Args &args, Working &size) {
    nb::handle cls = args[0];
    for (int pass = 0; pass < sizes::kMaxPasses; ++pass) {
        nb::object width = cls.attr(VX_ID("round_to_multiple"))(size.width);
        nb::object height = cls.attr(VX_ID("round_to_multiple"))(size.height);
        nb::object current_pixels = number_op(PyNumber_Multiply, width, height);
        if (truth(cls.attr(VX_ID("is_valid_image_size"))(width, height))) {
            size = {width, height};
            return;
        }
        correct_generally(args, size, current_pixels);
    }
}

// The result's keys in their order, with placeholder values: a copy of it
// takes the values without growing the table key by key.
nb::handle result_layout() {
    static PyObject *layout = [] {
        nb::dict keys;
        for (nb::handle key : {VX_ID("width"), VX_ID("height"), VX_ID("size"), VX_ID("pixels"), VX_ID("aspect_ratio"),
                               VX_ID("resolution"), VX_ID("valid")})
            set_item(keys, key, nb::none());
        return keys.release().ptr();
    }();
    return layout;
}

nb::dict result_dict(nb::handle width, nb::handle height, nb::handle size_text, nb::handle pixels,
                     nb::handle aspect_ratio, nb::handle resolution, nb::handle valid) {
    nb::dict result = nb::steal<nb::dict>(vx::steal_or_throw(PyDict_Copy(result_layout().ptr())).release());
    set_item(result, VX_ID("width"), width);
    set_item(result, VX_ID("height"), height);
    set_item(result, VX_ID("size"), size_text);
    set_item(result, VX_ID("pixels"), pixels);
    set_item(result, VX_ID("aspect_ratio"), aspect_ratio);
    set_item(result, VX_ID("resolution"), resolution);
    set_item(result, VX_ID("valid"), valid);
    return result;
}

nb::object calc_size_generally(const vx::Args &args, nb::handle aspect_ratio, nb::handle resolution,
                               const RatioTerms &terms) {
    nb::handle cls = args[0];
    nb::object ratio = number_op(PyNumber_TrueDivide, terms.width, terms.height);
    nb::object long_term = larger(terms.width, terms.height);
    nb::object short_term = smaller(terms.width, terms.height);
    nb::object quotient = number_op(PyNumber_TrueDivide, long_term, short_term);
    if (compare(quotient, nb::getattr(cls, VX_ID("MAX_RATIO")), Py_GT))
        raise_ratio_too_wide(aspect_ratio);
    nb::object target_pixels = target_pixels_generally(cls, resolution);
    nb::object sqrt = math_function(args, VX_ID("sqrt"));
    Working size;
    size.width = sqrt(number_op(PyNumber_Multiply, target_pixels, ratio));
    size.height = number_op(PyNumber_TrueDivide, size.width, ratio);
    settle_generally(args, size);
    nb::object width = int_of(size.width);
    nb::object height = int_of(size.height);
    nb::object pixels = number_op(PyNumber_Multiply, width, height);
    nb::object size_text = vx::steal_or_throw(PyUnicode_FromFormat("%Sx%S", width.ptr(), height.ptr()));
    nb::object valid = cls.attr(VX_ID("is_valid_image_size"))(width, height);
    return result_dict(width, height, size_text, pixels, aspect_ratio, resolution, valid);
}

// --- calc_size: the native route -----------------------------------------------

// The tier's pixel count from an exact dict preset, reading "2k" first.
std::optional<int64_t> preset_pixels_of(PyObject *preset, nb::handle resolution) {
    if (!preset || !keyed_by_str_only(preset))
        return std::nullopt;
    PyObject *fallback = PyDict_GetItemWithError(preset, VX_ID("2k").ptr());
    PyObject *chosen = fallback ? PyDict_GetItemWithError(preset, resolution.ptr()) : nullptr;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return native_int(chosen ? chosen : fallback, kExactInteger);
}

// Recent lookups, remembered while the (watched) table is unchanged. The
// tier texts are held, so their addresses cannot come back as other texts;
// texts do not change, and an exact str drops without running Python code.
class PresetLookups {
  public:
    std::optional<int64_t> pixels(PyObject *preset, nb::handle resolution) {
        for (const Entry &entry : entries_)
            if (preset && entry.preset == preset && entry.resolution == resolution.ptr() &&
                entry.generation == watched.generation)
                return entry.pixels;
        std::optional<int64_t> pixels = preset_pixels_of(preset, resolution);
        if (pixels && PyUnicode_CheckExact(resolution.ptr()) && watched.watch(preset)) {
            Entry &entry = entries_[next_++ % kEntries];
            PyObject *dropped = entry.resolution;
            entry = {preset, Py_NewRef(resolution.ptr()), watched.generation, *pixels};
            Py_XDECREF(dropped);
        }
        return pixels;
    }

  private:
    struct Entry {
        PyObject *preset = nullptr;
        PyObject *resolution = nullptr;
        uint64_t generation = 0;
        int64_t pixels = 0;
    };

    static constexpr size_t kEntries = 4;
    Entry entries_[kEntries];
    size_t next_ = 0;
};

PresetLookups preset_lookups;

// "<width>x<height>" in plain decimal.
nb::object size_text(int64_t width, int64_t height) {
    char text[48];
    char *end = std::to_chars(text, text + 20, width).ptr;
    *end++ = 'x';
    end = std::to_chars(end, end + 20, height).ptr;
    auto length = static_cast<Py_ssize_t>(end - text);
    nb::object result = vx::steal_or_throw(PyUnicode_New(length, 127));
    std::memcpy(PyUnicode_1BYTE_DATA(result.ptr()), text, static_cast<size_t>(length));
    return result;
}

nb::object calculated_dict(const sizes::CalculatedSize &size, nb::handle aspect_ratio, nb::handle resolution) {
    return result_dict(vx::new_int(size.width), vx::new_int(size.height), size_text(size.width, size.height),
                       vx::new_int(size.pixels), aspect_ratio, resolution, nb::bool_(size.valid));
}

// Everything the numbers of a native result depend on.
struct ResultKey {
    int64_t ratio_width;
    int64_t ratio_height;
    int64_t preset_pixels;
    sizes::SizeLimits limits;

    bool operator==(const ResultKey &other) const {
        return ratio_width == other.ratio_width && ratio_height == other.ratio_height &&
               preset_pixels == other.preset_pixels && limits.min_pixels == other.limits.min_pixels &&
               limits.max_pixels == other.limits.max_pixels && limits.max_edge == other.limits.max_edge &&
               limits.multiple == other.limits.multiple && limits.max_ratio == other.limits.max_ratio;
    }

    size_t slot(size_t slots) const {
        uint64_t mixed = static_cast<uint64_t>(ratio_width) * 0x9E3779B97F4A7C15ull;
        mixed ^= static_cast<uint64_t>(ratio_height) + 0x632BE59BD9B4E019ull + (mixed << 6) + (mixed >> 2);
        mixed ^= static_cast<uint64_t>(preset_pixels) + (mixed << 6) + (mixed >> 2);
        mixed *= 0xBF58476D1CE4E5B9ull;
        return static_cast<size_t>(mixed >> 40) % slots;
    }
};

// Results of recent native calculations. A hit hands out a copy of the
// stored dict: one allocation of a table already laid out, where building
// the dict costs seven insertions. The copy shares the stored ints and the
// size text, immutable objects equal to those a new calculation would make
// (the language lets a computation return any existing immutable object of
// the same type and value); "aspect_ratio" and "resolution" are replaced
// when the call passed other objects. The stored dicts are never handed out
// and hold only exact ints, exact strs and bools, so dropping one runs no
// Python code. Kept for the life of the process, like the module.
class ResultCache {
  public:
    nb::object find(const ResultKey &key, nb::handle aspect_ratio, nb::handle resolution) {
        size_t first = key.slot(kSlots);
        for (size_t probe = 0; probe < kWays; ++probe) {
            Entry &entry = entries_[(first + probe) % kSlots];
            if (!entry.dict || !(entry.key == key))
                continue;
            nb::object result = vx::steal_or_throw(PyDict_Copy(entry.dict));
            if (entry.aspect_ratio != aspect_ratio.ptr())
                set_item(result, VX_ID("aspect_ratio"), aspect_ratio);
            if (entry.resolution != resolution.ptr())
                set_item(result, VX_ID("resolution"), resolution);
            return result;
        }
        return nb::object();
    }

    // Keeps a copy of a freshly built result once its key has come twice in
    // a row at its slot: inputs met only once cost no copy.
    void keep(const ResultKey &key, nb::handle result, nb::handle aspect_ratio, nb::handle resolution) {
        ResultKey &seen = seen_[key.slot(kSlots)];
        if (!(seen == key)) {
            seen = key;
            return;
        }
        PyObject *copy = PyDict_Copy(result.ptr());
        if (!copy) {
            PyErr_Clear();
            return;
        }
        Entry &entry = way_for(key.slot(kSlots));
        PyObject *dropped = entry.dict;
        entry = {key, copy, aspect_ratio.ptr(), resolution.ptr()};
        Py_XDECREF(dropped);
    }

  private:
    struct Entry {
        ResultKey key{};
        PyObject *dict = nullptr;
        PyObject *aspect_ratio = nullptr; // the values in `dict`, kept alive by it
        PyObject *resolution = nullptr;
    };

    // An empty way of the key's slots if there is one, else each in turn.
    Entry &way_for(size_t first) {
        for (size_t probe = 0; probe < kWays; ++probe)
            if (!entries_[(first + probe) % kSlots].dict)
                return entries_[(first + probe) % kSlots];
        return entries_[(first + next_way_++ % kWays) % kSlots];
    }

    static constexpr size_t kSlots = 64;
    static constexpr size_t kWays = 4;
    Entry entries_[kSlots];
    ResultKey seen_[kSlots]{};
    size_t next_way_ = 0;
};

ResultCache result_cache;

std::optional<nb::object> calc_size_natively(const vx::Args &args, nb::handle aspect_ratio, nb::handle resolution,
                                             std::pair<int64_t, int64_t> terms) {
    // Looking `math` up may run a namespace key's __eq__, which may change the
    // class; so it comes first, and nothing runs between here and the last
    // use of the (borrowed) facts.
    if (!math_is_original(args, true, true))
        return std::nullopt;
    const ClassFacts &facts = facts_cache.facts_of(args[0]);
    if (!facts.limits || !siblings_are_original(facts))
        return std::nullopt;
    std::optional<int64_t> preset_pixels = preset_lookups.pixels(facts.preset, resolution);
    if (!preset_pixels)
        return std::nullopt;
    ResultKey key{terms.first, terms.second, *preset_pixels, *facts.limits};
    if (nb::object cached = result_cache.find(key, aspect_ratio, resolution); cached.is_valid())
        return cached;
    sizes::CalculatedSize size{};
    switch (sizes::calc_size(key.ratio_width, key.ratio_height, key.preset_pixels, key.limits, size)) {
    case sizes::Outcome::done: {
        nb::object result = calculated_dict(size, aspect_ratio, resolution);
        result_cache.keep(key, result, aspect_ratio, resolution);
        return result;
    }
    case sizes::Outcome::ratio_too_wide:
        raise_ratio_too_wide(aspect_ratio);
    case sizes::Outcome::interpreter:
        break;
    }
    return std::nullopt;
}

// resolution.lower(). Text that is already ASCII lower case stands for itself:
// lower() would only return an equal copy.
nb::object lower(nb::handle text) {
    if (PyUnicode_IS_ASCII(text.ptr())) {
        std::string_view ascii(static_cast<const char *>(PyUnicode_DATA(text.ptr())),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())));
        if (std::none_of(ascii.begin(), ascii.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
            return nb::borrow(text);
    }
    return vx::steal_or_throw(PyObject_CallMethodNoArgs(text.ptr(), VX_ID("lower").ptr()));
}

nb::object calc_size(const vx::Args &args) {
    nb::str aspect_ratio = args.str(1);
    nb::str requested = args.str(2);
    nb::object resolution = lower(requested);
    NativeTerms native_terms = parse_plain_ratio(aspect_ratio);
    RatioTerms terms;
    if (!native_terms) {
        terms = parse_ratio_generally(aspect_ratio);
        std::optional<int64_t> width = native_int(terms.width, kExactInteger);
        std::optional<int64_t> height = native_int(terms.height, kExactInteger);
        if (width && height)
            native_terms = std::pair{*width, *height};
    }
    if (native_terms) {
        if (std::optional<nb::object> result = calc_size_natively(args, aspect_ratio, resolution, *native_terms))
            return *result;
        if (!terms.width.is_valid())
            terms = {vx::new_int(native_terms->first), vx::new_int(native_terms->second)};
    }
    return calc_size_generally(args, aspect_ratio, resolution, terms);
}

nb::object init(const vx::Args &) {
    return nb::none();
}

nb::dict resolution_preset() {
    nb::dict preset;
    preset["1k"] = 1572516;
    preset["2k"] = 3686400;
    preset["4k"] = 8294400;
    return preset;
}

PyObject *kept(nb::handle object) {
    return nb::borrow(object).release().ptr();
}

PyMemberDef *classmethod_func_member() {
    nb::object descriptor = nb::handle(reinterpret_cast<PyObject *>(&PyClassMethod_Type)).attr("__func__");
    if (!Py_IS_TYPE(descriptor.ptr(), &PyMemberDescr_Type))
        throw std::runtime_error("classmethod.__func__ is not a member descriptor");
    return reinterpret_cast<PyMemberDescrObject *>(kept(descriptor))->d_member;
}

Sibling sibling(nb::handle class_method) {
    nb::object function = class_method.attr("__func__");
    PyObject *defaults = reinterpret_cast<vx::FunctionObject *>(function.ptr())->defaults;
    return {kept(class_method), kept(function), Py_XNewRef(defaults)};
}

} // namespace

VX_MODULE(dimora, module) {
    vx::ModuleContext context{module, kSource};
    context.bind("__doc__", nb::str(kModuleDoc));
    nb::object math = vx::ModuleContext::import("math");
    context.bind("math", math);
    originals.math_module = kept(math);
    originals.sqrt = kept(math.attr("sqrt"));
    originals.floor = kept(math.attr("floor"));
    originals.round = kept(vx::ModuleContext::import_from("builtins", "round"));
    originals.func_member = classmethod_func_member();
    // The interpreter has only a few watcher slots, shared by every
    // extension: a module imported again (after leaving sys.modules) keeps
    // the slot it already has.
    if (watched.watcher < 0)
        watched.watcher = PyDict_AddWatcher(WatchedDicts::on_change);
    if (watched.watcher < 0)
        PyErr_Clear(); // every slot taken: the native route then looks each time

    vx::ClassBuilder calculator(context, "GPTImageSizeCalculator", kClassDoc);
    calculator.set("MIN_PIXELS", nb::int_(655360));
    calculator.set("MAX_PIXELS", nb::int_(8294400));
    calculator.set("MAX_EDGE", nb::int_(3840));
    calculator.set("MULTIPLE", nb::int_(16));
    calculator.set("MAX_RATIO", nb::float_(3.0));
    calculator.set("RESOLUTION_PRESET", resolution_preset());
    calculator.method({.name = "__init__", .implementation = init, .params = {{"self"}}, .source_line = __LINE__});
    originals.round_to_multiple = sibling(calculator.class_method({
        .name = "round_to_multiple",
        .implementation = round_to_multiple,
        .params = {{"cls"}, {"value"}, {"multiple", nullptr, nb::none()}},
        .doc = kRoundDoc,
        .return_annotation = "int",
        .source_line = __LINE__,
    }));
    originals.floor_to_multiple = sibling(calculator.class_method({
        .name = "floor_to_multiple",
        .implementation = floor_to_multiple,
        .params = {{"cls"}, {"value"}, {"multiple", nullptr, nb::none()}},
        .doc = kFloorDoc,
        .return_annotation = "int",
        .source_line = __LINE__,
    }));
    originals.is_valid_image_size = sibling(calculator.class_method({
        .name = "is_valid_image_size",
        .implementation = is_valid_image_size,
        .params = {{"cls"}, {"width", "int"}, {"height", "int"}},
        .doc = kIsValidDoc,
        .return_annotation = "bool",
        .source_line = __LINE__,
    }));
    calculator.class_method({
        .name = "calc_size",
        .implementation = calc_size,
        .params = {{"cls"}, {"aspect_ratio", "str", nb::str("1:1")}, {"resolution", "str", nb::str("2k")}},
        .doc = kCalcSizeDoc,
        .source_line = __LINE__,
    });
    calculator.finish();
}
