// valdrix.dimora: legal output sizes for the image model "gpt-image-2".
//
// Each class method has two routes. The plain route takes the method's steps
// with interpreter objects in Python's order (constants and siblings through
// `cls`, globals and built-ins looked up at each use). The native route does
// the same arithmetic on machine numbers (vxcore/dimora_sizes.hpp) only while
// the guards prove it cannot differ: `cls`'s constants are exact ints and
// floats without descriptors, its siblings the ones defined here, every name
// looked up the object found at import, and every number exact as a double.
#include <vxcore/dimora_sizes.hpp>
#include <vxnative/class_facts.hpp>
#include <vxnative/globals_guard.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>
#include <vxnative/unpack.hpp>

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

// Exact ints up to this magnitude are exact as doubles.
constexpr int64_t kExactInteger = sizes::kExactIntegerLimit;

// --- the module's state -------------------------------------------------------------

// What the native route needs to know about a class: its constants where
// they are plain numbers, its preset table where that is an exact dict, and
// whether its sibling methods are the ones defined here.
struct ClassFacts {
    std::optional<int64_t> multiple;
    std::optional<sizes::SizeLimits> limits;
    PyObject *preset = nullptr; // borrowed from the class namespace, which changes only with a new tag
    bool siblings_original = false;
};

// What the native routes stand in for, and which of it each route relies on.
using Captured =
    vx::guard::Captures<"math", "math.sqrt", "math.floor", "round", "max", "min", "int", "all", "map", "range",
                        "ValueError", "GPTImageSizeCalculator", "GPTImageSizeCalculator.round_to_multiple",
                        "GPTImageSizeCalculator.floor_to_multiple", "GPTImageSizeCalculator.is_valid_image_size">;

struct State : vx::ModuleState {
    Captured captured{*this};
    vx::guard::Route<"round", "max", "int"> round_route;
    vx::guard::Route<"math.floor", "max", "int"> floor_route;
    vx::guard::Route<"max", "min", "all"> valid_route;
    // calc_size's own names and those of the siblings it calls.
    vx::guard::Route<"map", "range", "ValueError", "math.sqrt", "round", "max", "int", "math.floor", "min", "all">
        calc_route;
    vx::guard::ClassFactsCache<ClassFacts> class_facts;
};

// --- the interpreter's operations -----------------------------------------------

void set_item(nb::handle dict, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

using vx::compare;
using vx::comparison;
using vx::number_op;
using vx::truth;
using vx::guard::exact_int;

// An exact float, or a plain integer as its (exact) double.
std::optional<double> plain_real(nb::handle value) {
    return vx::guard::exact_real(value, kExactInteger);
}

// --- what the native route may rely on -----------------------------------------

ClassFacts resolve_facts(const State &state, PyTypeObject *type) {
    using vx::guard::class_namespace_entry;
    const vx::Names &names = state.names;
    ClassFacts facts;
    facts.multiple = exact_int(class_namespace_entry(type, names.get<"MULTIPLE">()), kExactInteger);
    auto min_pixels = exact_int(class_namespace_entry(type, names.get<"MIN_PIXELS">()), kExactInteger);
    auto max_pixels = exact_int(class_namespace_entry(type, names.get<"MAX_PIXELS">()), kExactInteger);
    auto max_edge = exact_int(class_namespace_entry(type, names.get<"MAX_EDGE">()), kExactInteger);
    auto max_ratio = plain_real(class_namespace_entry(type, names.get<"MAX_RATIO">()));
    if (min_pixels && max_pixels && max_edge && facts.multiple && max_ratio)
        facts.limits = sizes::SizeLimits{*min_pixels, *max_pixels, *max_edge, *facts.multiple, *max_ratio};
    PyObject *preset = class_namespace_entry(type, names.get<"RESOLUTION_PRESET">());
    facts.preset = preset && PyDict_CheckExact(preset) ? preset : nullptr;
    const Captured &captured = state.captured;
    auto found = [&](nb::handle name, nb::handle class_method) {
        return class_method.is(class_namespace_entry(type, name));
    };
    facts.siblings_original =
        found(names.get<"round_to_multiple">(), captured.get<"GPTImageSizeCalculator.round_to_multiple">()) &&
        found(names.get<"floor_to_multiple">(), captured.get<"GPTImageSizeCalculator.floor_to_multiple">()) &&
        found(names.get<"is_valid_image_size">(), captured.get<"GPTImageSizeCalculator.is_valid_image_size">());
    return facts;
}

const ClassFacts *facts_of(State &state, nb::handle cls) {
    return state.class_facts.find(cls, [&](PyTypeObject *type) { return resolve_facts(state, type); });
}

// The siblings found in the class are those defined here, and still run as
// defined (a function may be given other __defaults__ without any change to
// its class).
bool siblings_run_as_defined(const State &state, const ClassFacts &facts) {
    auto as_defined = [](nb::handle function) { return vx::guard::runs_as_defined(function, function); };
    const Captured &captured = state.captured;
    return facts.siblings_original && as_defined(captured.function<"GPTImageSizeCalculator.round_to_multiple">()) &&
           as_defined(captured.function<"GPTImageSizeCalculator.floor_to_multiple">()) &&
           as_defined(captured.function<"GPTImageSizeCalculator.is_valid_image_size">());
}

// --- round_to_multiple, floor_to_multiple ----------------------------------------

nb::object multiple_or_default(const vx::Args &args) {
    if (args[2].is_none())
        return nb::getattr(args[0], args.id<"MULTIPLE">());
    return nb::borrow(args[2]);
}

// `max(multiple, int(val))`, looked up and evaluated in that order.
nb::object at_least_multiple(const vx::Args &args, nb::handle multiple, nb::handle val) {
    nb::object max = args.global<"max">();
    nb::object int_type = args.global<"int">();
    return vx::checked_int_result(vx::call(max, {multiple, vx::call(int_type, {val})}));
}

// val = round(value / multiple) * multiple
nb::object round_generally(const vx::Args &args) {
    nb::object multiple = multiple_or_default(args);
    nb::object round = args.global<"round">();
    nb::object count = vx::call(round, {number_op(PyNumber_TrueDivide, args[1], multiple)});
    return at_least_multiple(args, multiple, number_op(PyNumber_Multiply, count, multiple));
}

// val = math.floor(value / multiple) * multiple
nb::object floor_generally(const vx::Args &args) {
    nb::object multiple = multiple_or_default(args);
    nb::object floor = nb::getattr(args.global<"math">(), args.id<"floor">());
    nb::object count = vx::call(floor, {number_op(PyNumber_TrueDivide, args[1], multiple)});
    return at_least_multiple(args, multiple, number_op(PyNumber_Multiply, count, multiple));
}

template <typename Align> std::optional<int64_t> align_natively(const vx::Args &args, Align align) {
    State &state = args.state<State>();
    std::optional<int64_t> step;
    if (args[2].is_none()) {
        const ClassFacts *facts = facts_of(state, args[0]);
        step = facts ? facts->multiple : std::nullopt;
    } else {
        step = exact_int(args[2], kExactInteger);
    }
    std::optional<double> value = plain_real(args[1]);
    if (!step || !value)
        return std::nullopt;
    return align(*value, *step);
}

nb::object round_to_multiple(const vx::Args &args) {
    State &state = args.state<State>();
    if (state.round_route.holds(state.captured, args))
        if (std::optional<int64_t> aligned = align_natively(args, sizes::round_to_multiple))
            return vx::new_int(*aligned);
    return round_generally(args);
}

nb::object floor_to_multiple(const vx::Args &args) {
    State &state = args.state<State>();
    if (state.floor_route.holds(state.captured, args))
        if (std::optional<int64_t> aligned = align_natively(args, sizes::floor_to_multiple))
            return vx::new_int(*aligned);
    return floor_generally(args);
}

// --- is_valid_image_size -------------------------------------------------------

// The five conditions, each evaluated, in a list handed to all().
nb::object is_valid_generally(const vx::Args &args, nb::handle width, nb::handle height) {
    nb::handle cls = args[0];
    nb::object pixels = number_op(PyNumber_Multiply, width, height);
    nb::object long_edge = vx::call(args.global<"max">(), {width, height});
    nb::object short_edge = vx::call(args.global<"min">(), {width, height});
    nb::object ratio = number_op(PyNumber_TrueDivide, long_edge, short_edge);
    nb::object all = args.global<"all">();
    nb::int_ zero(0);
    nb::object conditions = vx::steal_or_throw(PyList_New(5));
    auto put = [&](Py_ssize_t index, nb::object condition) {
        PyList_SET_ITEM(conditions.ptr(), index, condition.release().ptr());
    };
    put(0, comparison(long_edge, nb::getattr(cls, args.id<"MAX_EDGE">()), Py_LE));
    put(1, comparison(number_op(PyNumber_Remainder, width, nb::getattr(cls, args.id<"MULTIPLE">())), zero, Py_EQ));
    put(2, comparison(number_op(PyNumber_Remainder, height, nb::getattr(cls, args.id<"MULTIPLE">())), zero, Py_EQ));
    put(3, comparison(ratio, nb::getattr(cls, args.id<"MAX_RATIO">()), Py_LE));
    // MIN_PIXELS <= pixels <= MAX_PIXELS: the upper bound only when the lower holds.
    nb::object lower = comparison(nb::getattr(cls, args.id<"MIN_PIXELS">()), pixels, Py_LE);
    put(4, truth(lower) ? comparison(pixels, nb::getattr(cls, args.id<"MAX_PIXELS">()), Py_LE) : lower);
    return vx::call(all, {conditions});
}

std::optional<bool> is_valid_natively(const vx::Args &args, nb::handle width, nb::handle height) {
    State &state = args.state<State>();
    if (!state.valid_route.holds(state.captured, args))
        return std::nullopt;
    const ClassFacts *facts = facts_of(state, args[0]);
    std::optional<int64_t> plain_width = exact_int(width, kExactInteger);
    std::optional<int64_t> plain_height = exact_int(height, kExactInteger);
    if (!facts || !facts->limits || !plain_width || !plain_height)
        return std::nullopt;
    return sizes::is_valid_image_size(*plain_width, *plain_height, *facts->limits);
}

nb::object is_valid_image_size(const vx::Args &args) {
    nb::int_ width = args.integer(1);
    nb::int_ height = args.integer(2);
    if (std::optional<bool> valid = is_valid_natively(args, width, height))
        return nb::bool_(*valid);
    return is_valid_generally(args, width, height);
}

// --- calc_size: ratio text -----------------------------------------------------

struct RatioTerms {
    nb::object width;
    nb::object height;
};

// rw, rh = map(int, aspect_ratio.split(":"))
RatioTerms parse_ratio_generally(const vx::Args &args, nb::handle aspect_ratio) {
    nb::object map = args.global<"map">();
    nb::object int_type = args.global<"int">();
    nb::object parts = vx::steal_or_throw(PyUnicode_Split(aspect_ratio.ptr(), args.id<":">().ptr(), -1));
    auto [width, height] = vx::unpack_pair(vx::call(map, {int_type, parts}));
    return {std::move(width), std::move(height)};
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

// raise ValueError(RATIO_TOO_WIDE + aspect_ratio), with `ValueError` looked up
// first; the result of a native function (see vx::raised).
nb::object ratio_too_wide(const vx::Args &args, nb::handle aspect_ratio) {
    nb::object value_error = args.global<"ValueError">();
    nb::object prefix = vx::steal_or_throw(PyUnicode_FromString(kRatioTooWide));
    nb::object message = vx::steal_or_throw(PyUnicode_Concat(prefix.ptr(), aspect_ratio.ptr()));
    return vx::raised(vx::call(value_error, {message}));
}

// --- calc_size: the plain route ----------------------------------------------

struct Working {
    nb::object width;
    nb::object height;
};

// target_pixels = cls.RESOLUTION_PRESET.get(resolution, cls.RESOLUTION_PRESET["2k"])
// target_pixels = max(cls.MIN_PIXELS, min(target_pixels, cls.MAX_PIXELS))
nb::object target_pixels_generally(const vx::Args &args, nb::handle resolution) {
    nb::handle cls = args[0];
    nb::object preset_get = nb::getattr(nb::getattr(cls, args.id<"RESOLUTION_PRESET">()), args.id<"get">());
    nb::object preset = nb::getattr(cls, args.id<"RESOLUTION_PRESET">());
    nb::object fallback = vx::steal_or_throw(PyObject_GetItem(preset.ptr(), args.id<"2k">().ptr()));
    nb::object target = vx::call(preset_get, {resolution, fallback});
    nb::object max = args.global<"max">();
    nb::object lower_bound = nb::getattr(cls, args.id<"MIN_PIXELS">());
    nb::object min = args.global<"min">();
    nb::object upper = vx::call(min, {target, nb::getattr(cls, args.id<"MAX_PIXELS">())});
    return vx::call(max, {lower_bound, upper});
}

// `math.sqrt`, looked up before its argument is evaluated.
nb::object sqrt_function(const vx::Args &args) {
    return nb::getattr(args.global<"math">(), args.id<"sqrt">());
}

void scale_generally(Working &size, nb::handle scale) {
    size.width = number_op(PyNumber_InPlaceMultiply, size.width, scale);
    size.height = number_op(PyNumber_InPlaceMultiply, size.height, scale);
}

// One correction of an invalid aligned size, the first that applies.
void correct_generally(const vx::Args &args, Working &size, nb::handle current_pixels) {
    nb::handle cls = args[0];
    if (compare(current_pixels, nb::getattr(cls, args.id<"MAX_PIXELS">()), Py_GT)) {
        nb::object sqrt = sqrt_function(args);
        nb::object quotient = number_op(PyNumber_TrueDivide, nb::getattr(cls, args.id<"MAX_PIXELS">()), current_pixels);
        nb::object root = vx::call(sqrt, {quotient});
        scale_generally(size, number_op(PyNumber_Multiply, root, nb::float_(sizes::kShrinkMargin)));
        return;
    }
    nb::object long_edge = vx::call(args.global<"max">(), {size.width, size.height});
    if (compare(long_edge, nb::getattr(cls, args.id<"MAX_EDGE">()), Py_GT)) {
        scale_generally(size, number_op(PyNumber_TrueDivide, nb::getattr(cls, args.id<"MAX_EDGE">()), long_edge));
        return;
    }
    if (compare(current_pixels, nb::getattr(cls, args.id<"MIN_PIXELS">()), Py_LT)) {
        nb::object sqrt = sqrt_function(args);
        nb::object quotient = number_op(PyNumber_TrueDivide, nb::getattr(cls, args.id<"MIN_PIXELS">()), current_pixels);
        scale_generally(size, vx::call(sqrt, {quotient}));
        return;
    }
    size.width = vx::call(nb::getattr(cls, args.id<"floor_to_multiple">()), {size.width});
    size.height = vx::call(nb::getattr(cls, args.id<"floor_to_multiple">()), {size.height});
}

// for _ in range(max_loop): ...
void settle_generally(const vx::Args &args, Working &size) {
    nb::handle cls = args[0];
    nb::object passes = vx::call(args.global<"range">(), {vx::new_int(sizes::kMaxPasses)});
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(passes.ptr()));
    while (nb::object pass = vx::next(iterator)) {
        nb::object width = vx::call(nb::getattr(cls, args.id<"round_to_multiple">()), {size.width});
        nb::object height = vx::call(nb::getattr(cls, args.id<"round_to_multiple">()), {size.height});
        nb::object current_pixels = number_op(PyNumber_Multiply, width, height);
        if (truth(vx::call(nb::getattr(cls, args.id<"is_valid_image_size">()), {width, height}))) {
            size = {width, height};
            return;
        }
        correct_generally(args, size, current_pixels);
    }
    vx::throw_if_error();
}

nb::dict result_dict(const vx::Args &args, nb::handle width, nb::handle height, nb::handle size_text, nb::handle pixels,
                     nb::handle aspect_ratio, nb::handle resolution, nb::handle valid) {
    nb::dict result;
    set_item(result, args.id<"width">(), width);
    set_item(result, args.id<"height">(), height);
    set_item(result, args.id<"size">(), size_text);
    set_item(result, args.id<"pixels">(), pixels);
    set_item(result, args.id<"aspect_ratio">(), aspect_ratio);
    set_item(result, args.id<"resolution">(), resolution);
    set_item(result, args.id<"valid">(), valid);
    return result;
}

nb::object calc_size_generally(const vx::Args &args, nb::handle aspect_ratio, nb::handle resolution,
                               const RatioTerms &terms) {
    nb::handle cls = args[0];
    nb::object ratio = number_op(PyNumber_TrueDivide, terms.width, terms.height);
    nb::object long_term = vx::call(args.global<"max">(), {terms.width, terms.height});
    nb::object short_term = vx::call(args.global<"min">(), {terms.width, terms.height});
    nb::object quotient = number_op(PyNumber_TrueDivide, long_term, short_term);
    if (compare(quotient, nb::getattr(cls, args.id<"MAX_RATIO">()), Py_GT))
        return ratio_too_wide(args, aspect_ratio);
    nb::object target_pixels = target_pixels_generally(args, resolution);
    nb::object sqrt = sqrt_function(args);
    Working size;
    size.width = vx::call(sqrt, {number_op(PyNumber_Multiply, target_pixels, ratio)});
    size.height = number_op(PyNumber_TrueDivide, size.width, ratio);
    settle_generally(args, size);
    nb::object width = vx::call(args.global<"int">(), {size.width});
    nb::object height = vx::call(args.global<"int">(), {size.height});
    nb::object pixels = number_op(PyNumber_Multiply, width, height);
    // f"{width}x{height}"
    nb::object shown_width = vx::formatted(width);
    nb::object shown_height = vx::formatted(height);
    nb::object size_text = vx::steal_or_throw(PyUnicode_FromFormat("%Ux%U", shown_width.ptr(), shown_height.ptr()));
    nb::object valid = vx::call(nb::getattr(cls, args.id<"is_valid_image_size">()), {width, height});
    return result_dict(args, width, height, size_text, pixels, aspect_ratio, resolution, valid);
}

// --- calc_size: the native route -----------------------------------------------

// The tier's pixel count from an exact dict preset keyed by exact strs,
// reading "2k" first.
std::optional<int64_t> preset_pixels_of(const vx::Args &args, PyObject *preset, nb::handle resolution) {
    if (!preset || !vx::guard::keyed_by_exact_str(preset))
        return std::nullopt;
    PyObject *fallback = vx::guard::pure_item(preset, args.id<"2k">());
    if (!fallback)
        return std::nullopt;
    PyObject *chosen = vx::guard::pure_item(preset, resolution);
    return exact_int(chosen ? chosen : fallback, kExactInteger);
}

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

nb::object calculated_dict(const vx::Args &args, const sizes::CalculatedSize &size, nb::handle aspect_ratio,
                           nb::handle resolution) {
    return result_dict(args, vx::new_int(size.width), vx::new_int(size.height), size_text(size.width, size.height),
                       vx::new_int(size.pixels), aspect_ratio, resolution, nb::bool_(size.valid));
}

std::optional<nb::object> calc_size_natively(const vx::Args &args, nb::handle aspect_ratio, nb::handle resolution,
                                             std::pair<int64_t, int64_t> terms) {
    State &state = args.state<State>();
    if (!state.calc_route.holds(state.captured, args))
        return std::nullopt;
    const ClassFacts *facts = facts_of(state, args[0]);
    if (!facts || !facts->limits || !siblings_run_as_defined(state, *facts))
        return std::nullopt;
    std::optional<int64_t> preset_pixels = preset_pixels_of(args, facts->preset, resolution);
    if (!preset_pixels)
        return std::nullopt;
    sizes::CalculatedSize size{};
    switch (sizes::calc_size(terms.first, terms.second, *preset_pixels, *facts->limits, size)) {
    case sizes::Outcome::done:
        return calculated_dict(args, size, aspect_ratio, resolution);
    case sizes::Outcome::ratio_too_wide:
        return ratio_too_wide(args, aspect_ratio);
    case sizes::Outcome::interpreter:
        break;
    }
    return std::nullopt;
}

nb::object calc_size(const vx::Args &args) {
    State &state = args.state<State>();
    nb::str aspect_ratio = args.str(1);
    nb::str requested = args.str(2);
    nb::object resolution = vx::call_method(requested, args.id<"lower">());
    // The text parses natively while `map` and `int` are the built-ins (the
    // native route checks that with every other name it relies on).
    NativeTerms native_terms;
    if (state.calc_route.holds(state.captured, args))
        native_terms = parse_plain_ratio(aspect_ratio);
    RatioTerms terms;
    if (!native_terms) {
        terms = parse_ratio_generally(args, aspect_ratio);
        std::optional<int64_t> width = exact_int(terms.width, kExactInteger);
        std::optional<int64_t> height = exact_int(terms.height, kExactInteger);
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
    for (auto [tier, pixels] : {std::pair{"1k", 1572516L}, std::pair{"2k", 3686400L}, std::pair{"4k", 8294400L}})
        set_item(preset, nb::str(tier), nb::int_(pixels));
    return preset;
}

} // namespace

VX_MODULE(dimora, State, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    module.bind("math", module.import("math"));

    vx::ClassBuilder calculator(module, "GPTImageSizeCalculator", kClassDoc);
    calculator.set("MIN_PIXELS", nb::int_(655360));
    calculator.set("MAX_PIXELS", nb::int_(8294400));
    calculator.set("MAX_EDGE", nb::int_(3840));
    calculator.set("MULTIPLE", nb::int_(16));
    calculator.set("MAX_RATIO", nb::float_(3.0));
    calculator.set("RESOLUTION_PRESET", resolution_preset());
    calculator.method({.name = "__init__", .implementation = init, .params = {{"self"}}, .source_line = __LINE__});
    calculator.class_method({
        .name = "round_to_multiple",
        .implementation = round_to_multiple,
        .params = {{"cls"}, {"value"}, {"multiple", nullptr, nb::none()}},
        .doc = kRoundDoc,
        .return_annotation = "int",
        .source_line = __LINE__,
    });
    calculator.class_method({
        .name = "floor_to_multiple",
        .implementation = floor_to_multiple,
        .params = {{"cls"}, {"value"}, {"multiple", nullptr, nb::none()}},
        .doc = kFloorDoc,
        .return_annotation = "int",
        .source_line = __LINE__,
    });
    calculator.class_method({
        .name = "is_valid_image_size",
        .implementation = is_valid_image_size,
        .params = {{"cls"}, {"width", "int"}, {"height", "int"}},
        .doc = kIsValidDoc,
        .return_annotation = "bool",
        .source_line = __LINE__,
    });
    calculator.class_method({
        .name = "calc_size",
        .implementation = calc_size,
        .params = {{"cls"}, {"aspect_ratio", "str", nb::str("1:1")}, {"resolution", "str", nb::str("2k")}},
        .doc = kCalcSizeDoc,
        .source_line = __LINE__,
    });
    calculator.finish();
}
