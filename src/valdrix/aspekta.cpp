// valdrix.aspekta: the aspect ratio of an encoded image, exact (reduced to
// lowest terms) and approximate (the nearest quotient of two small integers).
#include <vxcore/floor_div.hpp>
#include <vxcore/ratio_search.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>
#include <vxnative/unpack.hpp>
#include <vxnative/with_statement.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

namespace nb = nanobind;

namespace {

constexpr const char *kSource = "valdrix/aspekta.cpp";

constexpr const char *kModuleDoc =
    "Aspect-ratio analysis. ImageRatioAnalyzer reads the size of an encoded image and reports "
    "its exact width:height ratio in lowest terms, or the ratio of two small integers (up to "
    "a configurable bound) closest to it.";

constexpr const char *kAnalyzerDoc = "图片比例分析工具\n"
                                     "提供两种比例获取方式：\n"
                                     "1. get_raw_simple_ratio：真实最简比例（精确）\n"
                                     "2. get_approx_simple_ratio：自动拟合近似简单整数比例（如 2:3、16:9）\n";

constexpr const char *kInitDoc = "图片比例分析类\n"
                                 ":param approx_search_range: 近似比例的整数搜索范围，默认 1~10\n";

constexpr const char *kGcdDoc = "计算最大公约数";

constexpr const char *kRawRatioDoc = "获取图片真实最简宽高比，不做近似。\n"
                                     ":param image_bytes: 图片二进制数据\n"
                                     ":return: 最简比例字符串，如 16:9\n";

constexpr const char *kApproxRatioDoc = "自动拟合近似简单整数比例，无预设标准比例池。\n"
                                        ":param image_bytes: 图片二进制数据\n"
                                        ":return: 近似比例字符串，如 3:2\n";

// Quotients of the approximate search between two checks for pending
// signals, so that a huge search bound can still be interrupted.
constexpr int64_t kQuotientsBetweenSignalChecks = int64_t{1} << 20;

using vx::native_int;
using vx::new_int;
using vx::number_op;

// --- ratio strings -----------------------------------------------------------

nb::object native_ratio_string(int64_t width, int64_t height) {
    char text[48];
    char *end = std::to_chars(text, text + 21, width).ptr;
    *end++ = ':';
    end = std::to_chars(end, text + sizeof text, height).ptr;
    return vx::steal_or_throw(PyUnicode_FromStringAndSize(text, end - text));
}

// f"{width}:{height}".
nb::object ratio_string(nb::handle width, nb::handle height) {
    auto w = native_int(width), h = native_int(height);
    if (w && h)
        return native_ratio_string(*w, *h);
    nb::object width_text = vx::steal_or_throw(PyObject_Format(width.ptr(), nullptr));
    nb::object height_text = vx::steal_or_throw(PyObject_Format(height.ptr(), nullptr));
    return vx::steal_or_throw(PyUnicode_FromFormat("%U:%U", width_text.ptr(), height_text.ptr()));
}

// --- reading the size ----------------------------------------------------------

struct ImageSize {
    nb::object width;
    nb::object height;
};

// with BytesIO(image_bytes) as buf:
//     with Image.open(buf) as img:
//         width, height = img.size
// Only a manager whose __exit__ swallowed an error leaves no size; reading
// `width` then fails where the method first reads it (see bound_size).
std::optional<ImageSize> read_image_size(const vx::Args &args, nb::handle image_bytes) {
    std::optional<ImageSize> size;
    nb::object stream = args.global(VX_ID("BytesIO"))(image_bytes);
    vx::with_context(stream, [&](nb::handle buf) {
        nb::object image = args.global(VX_ID("Image")).attr(VX_ID("open"))(buf);
        vx::with_context(image, [&](nb::handle img) {
            auto [width, height] = vx::unpack_pair(img.attr(VX_ID("size")));
            size = ImageSize{std::move(width), std::move(height)};
        });
    });
    return size;
}

ImageSize bound_size(std::optional<ImageSize> size) {
    if (!size)
        vx::raise(PyExc_UnboundLocalError, "cannot access local variable '%s' where it is not associated with a value",
                  "width");
    return std::move(*size);
}

// --- _gcd ----------------------------------------------------------------------

// Euclid on interpreter ints, for operands beyond int64.
nb::object interpreter_gcd(nb::object a, nb::object b) {
    while (vx::truth(b)) {
        nb::object remainder = number_op(PyNumber_Remainder, a, b);
        a = std::move(b);
        b = std::move(remainder);
    }
    return a;
}

nb::object gcd(nb::handle a, nb::handle b) {
    auto x = native_int(a), y = native_int(b);
    if (x && y)
        return new_int(vxcore::gcd_floored(*x, *y));
    return interpreter_gcd(nb::borrow(a), nb::borrow(b));
}

nb::object gcd_method(const vx::Args &args) {
    nb::int_ a = args.integer(0);
    nb::int_ b = args.integer(1);
    return vx::checked_int_result(gcd(a, b));
}

// True when `function` is this module's _gcd, so calling it can be skipped.
bool is_native_gcd(nb::handle function) {
    if (Py_TYPE(function.ptr()) != vx::detail::function_type())
        return false;
    return reinterpret_cast<vx::FunctionObject *>(function.ptr())->data->implementation == gcd_method;
}

// --- get_raw_simple_ratio --------------------------------------------------------

// The reduced ratio when both sides are plain ints and _gcd is not
// overridden; nothing when the interpreter has to do it (or raise).
std::optional<nb::object> native_raw_ratio(nb::handle gcd_function, const ImageSize &size) {
    auto width = native_int(size.width), height = native_int(size.height);
    if (!width || !height || !is_native_gcd(gcd_function))
        return std::nullopt;
    int64_t divisor = vxcore::gcd_floored(*width, *height);
    if (divisor == 0)
        return std::nullopt;
    return native_ratio_string(vxcore::floor_divide(*width, divisor), vxcore::floor_divide(*height, divisor));
}

nb::object get_raw_simple_ratio(const vx::Args &args) {
    nb::handle self = args[0];
    nb::bytes image_bytes = args.bytes(1);
    std::optional<ImageSize> read = read_image_size(args, image_bytes);
    nb::object gcd_function = self.attr(VX_ID("_gcd")); // looked up before the call reads width
    ImageSize size = bound_size(std::move(read));
    if (auto ratio = native_raw_ratio(gcd_function, size))
        return *ratio;
    nb::object divisor = gcd_function(size.width, size.height);
    nb::object w = number_op(PyNumber_FloorDivide, size.width, divisor);
    nb::object h = number_op(PyNumber_FloorDivide, size.height, divisor);
    return vx::checked_str_result(ratio_string(w, h));
}

// --- get_approx_simple_ratio ------------------------------------------------------

// width / height: an exact float for the native search, or the interpreter's
// result (which may be another kind of number, or an error).
struct Target {
    nb::object object;
    double value = 0.0;
    bool is_float = false;
};

Target target_ratio(const ImageSize &size) {
    auto width = native_int(size.width), height = native_int(size.height);
    auto exact = [](int64_t v) { return v >= -vxcore::kExactDoubleInt && v <= vxcore::kExactDoubleInt; };
    Target target;
    if (width && height && *height != 0 && exact(*width) && exact(*height)) {
        target.value = static_cast<double>(*width) / static_cast<double>(*height);
        target.is_float = true;
        return target;
    }
    target.object = number_op(PyNumber_TrueDivide, size.width, size.height);
    if (PyFloat_CheckExact(target.object.ptr())) {
        target.value = PyFloat_AS_DOUBLE(target.object.ptr());
        target.is_float = true;
    }
    return target;
}

// The last factor of `range(1, stop)`, with range()'s errors for a stop that
// is not an integer. Factors beyond 2**53 are capped there: the search could
// not finish within any lifetime either way.
int64_t last_factor(nb::handle stop) {
    nb::object index = vx::steal_or_throw(PyNumber_Index(stop.ptr()));
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow)
        return overflow > 0 ? vxcore::kExactDoubleInt : 0;
    if (value < 1)
        return 0;
    return std::min<long long>(value - 1, vxcore::kExactDoubleInt);
}

// The last factor of `range(1, limit + 1)`, evaluating `limit + 1` once. An
// exact int adds without running any code, so its sum needs no object.
int64_t factors_up_to(nb::handle limit) {
    if (auto exact = native_int(limit))
        return std::clamp<int64_t>(*exact, 0, vxcore::kExactDoubleInt);
    return last_factor(number_op(PyNumber_Add, limit, new_int(1)));
}

using Best = std::optional<std::pair<int64_t, int64_t>>;

// The search over a square whose bound is an exact int, where rebuilding
// the inner range for each i cannot be observed.
Best native_search(double target, int64_t limit) {
    vxcore::ApproxRatioSearch search(target, limit);
    while (!search.advance(kQuotientsBetweenSignalChecks)) {
        if (PyErr_CheckSignals() < 0)
            throw nb::python_error();
    }
    if (!search.found())
        return std::nullopt;
    return std::pair{search.best_i(), search.best_j()};
}

// The rows of the search, each inner range built anew from `limit + 1` as
// the nested loops evaluate it: an int subclass may give each row its own
// length, or fail part-way.
template <typename ScanRow> void for_each_row(nb::handle limit, ScanRow scan_row) {
    int64_t rows = factors_up_to(limit);
    for (int64_t i = 1; i <= rows; ++i)
        scan_row(i, factors_up_to(limit));
}

Best native_search_by_rows(double target, nb::handle limit) {
    vxcore::ApproxRatioSearch search(target, 0);
    for_each_row(limit, [&](int64_t i, int64_t columns) {
        for (int64_t first = 1; first <= columns;) {
            int64_t last = std::min(columns, first + kQuotientsBetweenSignalChecks - 1);
            search.scan_row(i, first, last);
            first = last + 1;
            if (PyErr_CheckSignals() < 0)
                throw nb::python_error();
        }
    });
    if (!search.found())
        return std::nullopt;
    return std::pair{search.best_i(), search.best_j()};
}

// The same search on whatever number width / height gave, through the
// interpreter's operators.
Best interpreter_search(nb::handle target, nb::handle limit) {
    nb::object min_error = vx::steal_or_throw(PyFloat_FromDouble(std::numeric_limits<double>::infinity()));
    Best best;
    for_each_row(limit, [&](int64_t i, int64_t columns) {
        for (int64_t j = 1; j <= columns; ++j) {
            double quotient = static_cast<double>(i) / static_cast<double>(j);
            nb::object current = vx::steal_or_throw(PyFloat_FromDouble(quotient));
            nb::object difference = number_op(PyNumber_Subtract, current, target);
            nb::object error = vx::steal_or_throw(PyNumber_Absolute(difference.ptr()));
            if (vx::compare(error, min_error, Py_LT)) {
                min_error = std::move(error);
                best = std::pair{i, j};
            }
            if (j % 4096 == 0 && PyErr_CheckSignals() < 0)
                throw nb::python_error();
        }
    });
    return best;
}

Best search(const Target &target, nb::handle limit) {
    if (!target.is_float)
        return interpreter_search(target.object, limit);
    if (PyLong_CheckExact(limit.ptr()))
        return native_search(target.value, factors_up_to(limit));
    return native_search_by_rows(target.value, limit);
}

nb::object get_approx_simple_ratio(const vx::Args &args) {
    nb::handle self = args[0];
    nb::bytes image_bytes = args.bytes(1);
    ImageSize size = bound_size(read_image_size(args, image_bytes));
    Target target = target_ratio(size);
    nb::object limit = nb::getattr(self, VX_ID("approx_search_range"));
    Best best = search(target, limit);
    if (!best)
        return vx::checked_str_result(ratio_string(size.width, size.height));
    return native_ratio_string(best->first, best->second);
}

// --- __init__ ----------------------------------------------------------------------

nb::object init(const vx::Args &args) {
    nb::int_ approx_search_range = args.integer(1);
    args[0].attr(VX_ID("approx_search_range")) = approx_search_range;
    return nb::none();
}

} // namespace

VX_MODULE(aspekta, module) {
    vx::ModuleContext context{module, kSource};
    context.bind("__doc__", nb::str(kModuleDoc));
    context.bind("BytesIO", vx::ModuleContext::import_from("io", "BytesIO"));
    // `from PIL import Image` binds the submodule, importing it when needed.
    context.bind("Image", vx::ModuleContext::import_from("PIL", "Image"));

    vx::ClassBuilder analyzer(context, "ImageRatioAnalyzer", kAnalyzerDoc);
    analyzer.method({.name = "__init__",
                     .implementation = init,
                     .params = {{"self"}, {"approx_search_range", "int", nb::int_(10)}},
                     .doc = kInitDoc,
                     .source_line = __LINE__});
    analyzer.static_method({.name = "_gcd",
                            .implementation = gcd_method,
                            .params = {{"a", "int"}, {"b", "int"}},
                            .doc = kGcdDoc,
                            .return_annotation = "int",
                            .source_line = __LINE__});
    analyzer.method({.name = "get_raw_simple_ratio",
                     .implementation = get_raw_simple_ratio,
                     .params = {{"self"}, {"image_bytes", "bytes"}},
                     .doc = kRawRatioDoc,
                     .return_annotation = "str",
                     .source_line = __LINE__});
    analyzer.method({.name = "get_approx_simple_ratio",
                     .implementation = get_approx_simple_ratio,
                     .params = {{"self"}, {"image_bytes", "bytes"}},
                     .doc = kApproxRatioDoc,
                     .return_annotation = "str",
                     .source_line = __LINE__});
    analyzer.finish();
}
