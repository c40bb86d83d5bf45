// valdrix.aspekta: the aspect ratio of an encoded image, exact (reduced to
// lowest terms) and approximate (the nearest quotient of two small integers).
//
// Each method takes the plain code's steps in Python's order (globals and
// attributes looked up at each use). Two native routes stand in while guards
// prove they give the same: the exact ratio reduces plain ints without
// calling `self._gcd` while that is this module's own, unchanged; the
// approximate search runs in machine arithmetic while `float`, `range` and
// `abs` are the built-ins, the bound an exact int and width / height a float.
#include <vxcore/arithmetic.hpp>
#include <vxcore/ratio_search.hpp>
#include <vxnative/class_facts.hpp>
#include <vxnative/globals_guard.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>
#include <vxnative/thread_end.hpp>
#include <vxnative/unpack.hpp>
#include <vxnative/with_statement.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
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

// Quotients of the approximate search in one slice (well under a
// millisecond): a larger search runs them without the interpreter's lock,
// so other threads go on meanwhile, and takes it back between slices to run
// pending signal handlers.
constexpr int64_t kQuotientsPerSlice = int64_t{1} << 18;
// The same for the plain route, whose steps cost far more.
constexpr int64_t kCellsBetweenSignalChecks = 4096;

// --- the module's state ---------------------------------------------------------

struct State : vx::ModuleState {
    vx::guard::Captures<"float", "range", "abs", "ImageRatioAnalyzer", "ImageRatioAnalyzer._gcd"> captured{*this};
    vx::guard::Route<"float", "range", "abs"> search_route;
};

using vx::compare;
using vx::new_int;
using vx::number_op;
using vx::guard::exact_int;

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
    auto w = exact_int(width), h = exact_int(height);
    if (w && h)
        return native_ratio_string(*w, *h);
    nb::object width_text = vx::formatted(width);
    nb::object height_text = vx::formatted(height);
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
    const vx::Names &names = args.state<State>().names;
    std::optional<ImageSize> size;
    nb::object stream = vx::call(args.global<"BytesIO">(), {image_bytes});
    vx::with_context(stream, names, [&](nb::handle buf) {
        nb::object open = nb::getattr(args.global<"Image">(), args.id<"open">());
        nb::object image = vx::call(open, {buf});
        vx::with_context(image, names, [&](nb::handle img) {
            auto [width, height] = vx::unpack_pair(nb::getattr(img, args.id<"size">()));
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
    auto x = exact_int(a), y = exact_int(b);
    if (x && y)
        return new_int(vxcore::gcd_floored(*x, *y));
    return interpreter_gcd(nb::borrow(a), nb::borrow(b));
}

nb::object gcd_method(const vx::Args &args) {
    nb::int_ a = args.integer(0);
    nb::int_ b = args.integer(1);
    return vx::checked_int_result(gcd(a, b));
}

// --- get_raw_simple_ratio --------------------------------------------------------

// The reduced ratio when both sides are plain ints and `self._gcd` gave this
// module's own _gcd, still as defined (calling it would run exactly these
// steps); nothing when the interpreter has to do it (or raise).
std::optional<nb::object> raw_ratio_natively(const State &state, nb::handle gcd_function, const ImageSize &size) {
    auto width = exact_int(size.width), height = exact_int(size.height);
    if (!width || !height ||
        !vx::guard::runs_as_defined(gcd_function, state.captured.function<"ImageRatioAnalyzer._gcd">()))
        return std::nullopt;
    int64_t divisor = vxcore::gcd_floored(*width, *height);
    if (divisor == 0)
        return std::nullopt;
    return native_ratio_string(vxcore::floor_divide(*width, divisor), vxcore::floor_divide(*height, divisor));
}

// div = self._gcd(width, height)
// w = width // div
// h = height // div
// return f"{w}:{h}"
nb::object get_raw_simple_ratio(const vx::Args &args) {
    nb::handle self = args[0];
    nb::bytes image_bytes = args.bytes(1);
    std::optional<ImageSize> read = read_image_size(args, image_bytes);
    nb::object gcd_function = nb::getattr(self, args.id<"_gcd">()); // looked up before the call reads width
    ImageSize size = bound_size(std::move(read));
    if (auto ratio = raw_ratio_natively(args.state<State>(), gcd_function, size))
        return *ratio;
    nb::object divisor = vx::call(gcd_function, {size.width, size.height});
    nb::object w = number_op(PyNumber_FloorDivide, size.width, divisor);
    nb::object h = number_op(PyNumber_FloorDivide, size.height, divisor);
    return ratio_string(w, h);
}

// --- get_approx_simple_ratio: the plain route ---------------------------------------

// The search with interpreter objects, in the plain code's order:
//     min_error = float("inf")
//     best_w, best_h = width, height
//     for i in range(1, limit + 1):
//         for j in range(1, limit + 1):
//             current = i / j
//             error = abs(current - target)
//             if error < min_error:
//                 min_error = error
//                 best_w, best_h = i, j
//     return f"{best_w}:{best_h}"
class PlainSearch {
  public:
    PlainSearch(const vx::Args &args, nb::handle target, nb::handle limit, nb::object min_error, nb::handle best_w,
                nb::handle best_h)
        : args_(args), target_(target), limit_(limit), min_error_(std::move(min_error)), best_w_(nb::borrow(best_w)),
          best_h_(nb::borrow(best_h)) {}

    // `range(1, limit + 1)`, with `range` looked up first.
    nb::object range_from_one() const {
        nb::object range = args_.global<"range">();
        nb::object one = new_int(1);
        nb::object stop = number_op(PyNumber_Add, limit_, one);
        return vx::call(range, {one, stop});
    }

    // for i in <rows>: for j in range(1, limit + 1): ...
    void scan_rows(nb::handle rows) {
        nb::object iterator = iterate(rows);
        while (nb::object i = vx::next(iterator))
            scan_row(i, range_from_one());
        vx::throw_if_error();
    }

    // The cells of row `i` at the columns `columns` yields.
    void scan_row(nb::handle i, nb::handle columns) {
        nb::object iterator = iterate(columns);
        int64_t cells = 0;
        while (nb::object j = vx::next(iterator)) {
            scan_cell(i, j);
            if (++cells % kCellsBetweenSignalChecks == 0 && PyErr_CheckSignals() < 0)
                throw nb::python_error();
        }
        vx::throw_if_error();
    }

    nb::object result() const { return ratio_string(best_w_, best_h_); }

  private:
    static nb::object iterate(nb::handle iterable) { return vx::steal_or_throw(PyObject_GetIter(iterable.ptr())); }

    void scan_cell(nb::handle i, nb::handle j) {
        nb::object current = number_op(PyNumber_TrueDivide, i, j);
        nb::object abs = args_.global<"abs">();
        nb::object error = vx::call(abs, {number_op(PyNumber_Subtract, current, target_)});
        if (compare(error, min_error_, Py_LT)) {
            min_error_ = std::move(error);
            best_w_ = nb::borrow(i);
            best_h_ = nb::borrow(j);
        }
    }

    const vx::Args &args_;
    nb::handle target_;
    nb::handle limit_;
    nb::object min_error_;
    nb::object best_w_;
    nb::object best_h_;
};

nb::object search_plainly(const vx::Args &args, const ImageSize &size, nb::handle target, nb::handle limit,
                          nb::object min_error) {
    PlainSearch search(args, target, limit, std::move(min_error), size.width, size.height);
    search.scan_rows(search.range_from_one());
    return search.result();
}

// --- get_approx_simple_ratio: the native route ---------------------------------------

bool names_are_builtins(const vx::Args &args) {
    State &state = args.state<State>();
    return state.search_route.holds(state.captured, args);
}

// The factors 1..limit of an exact int bound, capped at 2**53 (where i / j
// stops being exact in doubles; no search gets that far in any lifetime).
int64_t factors_of(nb::handle limit) {
    if (std::optional<int64_t> value = exact_int(limit))
        return std::clamp<int64_t>(*value, 0, vxcore::kExactIntegerLimit);
    return compare(limit, new_int(0), Py_GT) ? vxcore::kExactIntegerLimit : 0;
}

// `range(start, stop)` of the interpreter's own range, standing for the one
// the plain loops hold at that point (made by the built-in, which the guard
// had proved `range` to be).
nb::object builtin_range(int64_t start, nb::handle stop) {
    return vx::call(reinterpret_cast<PyObject *>(&PyRange_Type), {new_int(start), stop});
}

// A signal handler run during the native search rebound a name the search
// relies on: the plain loops take over at the cell reached, with what the
// native search found so far.
nb::object resume_plainly(const vx::Args &args, const ImageSize &size, double target, nb::handle limit,
                          const vxcore::ApproxRatioSearch &native) {
    nb::object target_value = vx::steal_or_throw(PyFloat_FromDouble(target));
    nb::object min_error = vx::steal_or_throw(PyFloat_FromDouble(native.min_error()));
    nb::object best_w = native.found() ? new_int(native.best_i()) : size.width;
    nb::object best_h = native.found() ? new_int(native.best_j()) : size.height;
    PlainSearch search(args, target_value, limit, std::move(min_error), best_w, best_h);
    nb::object stop = number_op(PyNumber_Add, limit, new_int(1));
    int64_t row = native.next_i();
    if (native.next_j() > 1) {
        search.scan_row(new_int(row), builtin_range(native.next_j(), stop));
        ++row;
    }
    search.scan_rows(builtin_range(row, stop));
    return search.result();
}

// One slice of the search; a long search lets other threads run meanwhile.
bool advance_slice(vxcore::ApproxRatioSearch &search, bool long_search) {
    if (!long_search)
        return search.advance(kQuotientsPerSlice);
    vx::ReleasedLock released;
    return search.advance(kQuotientsPerSlice);
}

// The search in machine arithmetic, slice by slice, running pending signal
// handlers between slices; as they (or other threads) may rebind a name the
// search relies on, the guard is asked again after each slice.
nb::object search_natively(const vx::Args &args, const ImageSize &size, double target, nb::handle limit) {
    int64_t factors = factors_of(limit);
    vxcore::ApproxRatioSearch search(target, factors);
    bool long_search = factors > 0 && factors > kQuotientsPerSlice / factors;
    while (!advance_slice(search, long_search)) {
        if (PyErr_CheckSignals() < 0)
            throw nb::python_error();
        if (!names_are_builtins(args))
            return resume_plainly(args, size, target, limit, search);
    }
    if (!search.found())
        return ratio_string(size.width, size.height);
    return native_ratio_string(search.best_i(), search.best_j());
}

// --- get_approx_simple_ratio ---------------------------------------------------------

// `width / height`: natively for ints exact in doubles, else the
// interpreter's result (which may be another kind of number, or an error).
struct Target {
    nb::object object;
    double value = 0.0;
    bool is_float = false;

    nb::object as_object() const { return object.is_valid() ? object : vx::steal_or_throw(PyFloat_FromDouble(value)); }
};

Target target_ratio(const ImageSize &size) {
    auto width = exact_int(size.width, vxcore::kExactIntegerLimit);
    auto height = exact_int(size.height, vxcore::kExactIntegerLimit);
    Target target;
    if (width && height && *height != 0) {
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

// float("inf"): the value the built-in gives while the guard holds.
nb::object positive_infinity(const vx::Args &args) {
    if (names_are_builtins(args))
        return vx::steal_or_throw(PyFloat_FromDouble(std::numeric_limits<double>::infinity()));
    return vx::call(args.global<"float">(), {args.id<"inf">()});
}

// target = width / height
// min_error = float("inf")
// best_w, best_h = width, height
// limit = self.approx_search_range
// ...the search
nb::object get_approx_simple_ratio(const vx::Args &args) {
    nb::handle self = args[0];
    nb::bytes image_bytes = args.bytes(1);
    ImageSize size = bound_size(read_image_size(args, image_bytes));
    Target target = target_ratio(size);
    nb::object min_error = positive_infinity(args);
    nb::object limit = nb::getattr(self, args.id<"approx_search_range">());
    if (target.is_float && PyLong_CheckExact(limit.ptr()) && names_are_builtins(args))
        return search_natively(args, size, target.value, limit);
    return search_plainly(args, size, target.as_object(), limit, std::move(min_error));
}

// --- __init__ ----------------------------------------------------------------------

nb::object init(const vx::Args &args) {
    nb::int_ approx_search_range = args.integer(1);
    vx::set_attribute(args[0], args.id<"approx_search_range">(), approx_search_range);
    return nb::none();
}

// --- the module ----------------------------------------------------------------------

} // namespace

VX_MODULE(aspekta, State, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    module.bind_from("io", {"BytesIO"});
    // `from PIL import Image` binds the submodule, importing it when needed.
    module.bind_from("PIL", {"Image"});

    vx::ClassBuilder analyzer(module, "ImageRatioAnalyzer", kAnalyzerDoc);
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
