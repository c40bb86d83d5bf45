// valdrix.canvora: normalising uploaded images against a list of standard
// aspect ratios. The ratio arithmetic is native (vxcore/canvora_ratios.hpp);
// every image operation is Pillow's, called through the interpreter, so the
// output is exactly what the same Pillow calls give from Python.
#include <vxcore/canvora_ratios.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>
#include <vxnative/unpack.hpp>

#include <optional>
#include <string_view>
#include <utility>

namespace nb = nanobind;
namespace ratios = vxcore::canvora;
using namespace nb::literals;

namespace {

constexpr const char *kSource = "valdrix/canvora.cpp";

constexpr const char *kModuleDoc =
    "Image ratio normalisation. ImageTool matches an uploaded image against a list of ten "
    "standard aspect ratios and, unless a requested ratio differs from the closest one, "
    "enlarges its shorter side by a percentage, either by resampling the image (\"resize\") or "
    "by centring it on a larger canvas of a fill colour (\"fill\"), and returns PNG bytes.";

constexpr const char *kImageToolDoc = "图片比例标准化工具：把上传的图片对照标准比例列表，\n"
                                      "按 resize（拉伸）或 fill（填充画布）方式扩展较短的一边。\n";

constexpr const char *kInitDoc = ":param proportion: 目标比例，如 \"3:4\"、\"1:1\"，也可以是空字符串或 None\n"
                                 ":param need_adjust: resize / fill\n"
                                 ":param fill_color: 填充背景色，RGBA，默认透明\n";

constexpr const char *kParseRatioDoc = "解析 3:4 -> (3,4)";

constexpr const char *kClosestRatioDoc = "计算原图宽高，匹配 STANDARD_RATIO_LIST 中最接近的标准比例字符串";

constexpr const char *kAdjustSizeDoc =
    "按目标比例和处理方式调整图片尺寸。\n"
    "\n"
    "proportion：\n"
    "- None：不指定目标比例，所有图片都按 need_adjust 处理；\n"
    "- 与原图最接近的标准比例不同：不做处理，原样返回输入的图片字节；\n"
    "- 与原图最接近的标准比例相同：按 need_adjust 处理。\n"
    "\n"
    "need_adjust：\n"
    "- resize：把整张图片重新采样，拉伸较短的一边；\n"
    "- fill：图片大小不变，居中贴到用 fill_color 填充的更大画布上。\n"
    "\n"
    ":param image_bytes: 图片文件的完整字节\n"
    ":param return_origin_ratio: 为 True 时同时返回比例字符串\n"
    ":param expand_percent: 较短边扩展的百分比，10 表示放大 10%，"
    "0 表示不缩放，负数表示缩小\n"
    ":return: PNG 图片字节；return_origin_ratio 为 True 时返回 (图片字节, 比例字符串)\n";

constexpr const char *kRatioFormatErrorPrefix = "比例格式错误 ";
constexpr const char *kRatioFormatErrorSuffix = "，示例：3:4";
constexpr const char *kUnsupportedModeError = "need_adjust 仅支持 resize / fill";

// --- Interpreter values used by the native arithmetic ----------------------

// Exact ints up to this magnitude keep sums, differences and conversions to
// double of two of them exact in C++; larger ones take the interpreter's
// arithmetic.
constexpr int64_t kNativeMagnitude = (int64_t{1} << 62) - 1;

using vx::compare;
using vx::int_of;
using vx::native_int;
using vx::new_int;
using vx::unpack_pair;

// `numerator / denominator`, natively when both are small ints.
nb::object true_divide(nb::handle numerator, nb::handle denominator) {
    auto n = native_int(numerator, kNativeMagnitude);
    auto d = native_int(denominator, kNativeMagnitude);
    if (n && d) {
        if (auto quotient = ratios::true_divide(*n, *d))
            return vx::steal_or_throw(PyFloat_FromDouble(*quotient));
    }
    return vx::steal_or_throw(PyNumber_TrueDivide(numerator.ptr(), denominator.ptr()));
}

// --- Constructor --------------------------------------------------------------

bool is_blank(nb::handle text) {
    nb::object stripped = vx::steal_or_throw(PyObject_CallMethodNoArgs(text.ptr(), VX_ID("strip").ptr()));
    return PyUnicode_GET_LENGTH(stripped.ptr()) == 0;
}

// One map entry per list entry, in list order: the ratio string to its
// width divided by its height.
void build_ratio_map(nb::handle self) {
    self.attr(VX_ID("_std_ratio_map")) = nb::dict();
    nb::object ratio_list = self.attr(VX_ID("STANDARD_RATIO_LIST"));
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(ratio_list.ptr()));
    while (nb::object ratio_str = nb::steal(PyIter_Next(iterator.ptr()))) {
        auto [w, h] = unpack_pair(self.attr(VX_ID("_parse_ratio"))(ratio_str));
        nb::object quotient = true_divide(w, h);
        nb::object ratio_map = self.attr(VX_ID("_std_ratio_map"));
        if (PyObject_SetItem(ratio_map.ptr(), ratio_str.ptr(), quotient.ptr()) < 0)
            throw nb::python_error();
    }
    vx::throw_if_error();
}

nb::object tool_init(const vx::Args &args) {
    nb::handle self = args[0];
    nb::object proportion = args.optional_str(1);
    nb::str need_adjust = args.str(2);
    nb::handle fill_color = args[3];
    if (!proportion.is_none() && is_blank(proportion))
        proportion = nb::none();
    self.attr(VX_ID("proportion")) = proportion;
    self.attr(VX_ID("need_adjust")) = need_adjust;
    self.attr(VX_ID("fill_color")) = fill_color;
    self.attr(VX_ID("kwargs")) = args.extra_keywords();
    build_ratio_map(self);
    return nb::none();
}

// --- Ratio parsing ----------------------------------------------------------

constexpr const char *kRatioPattern = R"((\d+):(\d+))";

// re's functions as the module saw them at import. While `re.match` and the
// `_compile` it calls still run the code they had then, `re.match(pattern,
// text)` is `_compile(pattern, 0).match(text)`, and `_compile` first returns
// what its cache holds for (str, pattern, 0), having asked
// `isinstance(0, RegexFlag)` (false for an int unless RegexFlag's metaclass
// says otherwise). So when every name on that way is still what it was, the
// pattern the cache holds can be used directly; a cache hit changes nothing
// there. They live as long as the process.
struct CapturedFunction {
    PyObject *function = nullptr;
    PyObject *code = nullptr;
    PyObject *defaults = nullptr;
    PyObject *kwdefaults = nullptr;

    void capture(PyObject *candidate) {
        if (!candidate || !PyFunction_Check(candidate))
            return;
        function = Py_NewRef(candidate);
        code = Py_XNewRef(PyFunction_GetCode(candidate));
        defaults = Py_XNewRef(PyFunction_GetDefaults(candidate));
        kwdefaults = Py_XNewRef(PyFunction_GetKwDefaults(candidate));
    }

    bool unchanged(PyObject *candidate) const {
        return function && candidate == function && PyFunction_GetCode(candidate) == code &&
               PyFunction_GetDefaults(candidate) == defaults && PyFunction_GetKwDefaults(candidate) == kwdefaults;
    }
};

struct ReMatchRoute {
    CapturedFunction match;
    CapturedFunction compile_helper;
    PyObject *regex_flag = nullptr;
    PyObject *regex_flag_metaclass = nullptr;
    PyObject *metaclass_mro = nullptr; // the metaclass's own dict lacks __instancecheck__ along it
    PyObject *cache = nullptr;
    PyObject *cache_key = nullptr;        // (str, kRatioPattern, 0)
    PyObject *verified_pattern = nullptr; // held, so that its identity stays its own
    long unicode_flag = -1;
} re_route;

// Lookups that run no Python code: exact str keys in dicts.
PyObject *dict_item(PyObject *dict, nb::handle name) {
    PyObject *value = PyDict_GetItemWithError(dict, name.ptr());
    PyErr_Clear();
    return value;
}

void capture_re_route(nb::handle re_module) {
    PyObject *names = PyModule_GetDict(re_module.ptr());
    re_route.match.capture(dict_item(names, VX_ID("match")));
    re_route.compile_helper.capture(dict_item(names, VX_ID("_compile")));
    re_route.regex_flag = Py_XNewRef(dict_item(names, VX_ID("RegexFlag")));
    re_route.cache = Py_XNewRef(dict_item(names, VX_ID("_cache2")));
    if (re_route.regex_flag) {
        auto *metaclass = Py_TYPE(re_route.regex_flag);
        re_route.regex_flag_metaclass = Py_NewRef(reinterpret_cast<PyObject *>(metaclass));
        re_route.metaclass_mro = Py_XNewRef(metaclass->tp_mro);
    }
    re_route.cache_key =
        nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)), VX_ID(kRatioPattern), 0)
            .release()
            .ptr();
    if (PyObject *unicode = dict_item(names, VX_ID("UNICODE")))
        re_route.unicode_flag = PyLong_AsLong(unicode);
    PyErr_Clear();
}

// isinstance(0, RegexFlag) answers False without running code: the
// metaclass (and every class it inherits from short of type) defines no
// __instancecheck__ of its own.
bool plain_instance_check(const ReMatchRoute &route) {
    PyObject *metaclass = route.regex_flag_metaclass;
    if (reinterpret_cast<PyObject *>(Py_TYPE(route.regex_flag)) != metaclass || !route.metaclass_mro ||
        reinterpret_cast<PyTypeObject *>(metaclass)->tp_mro != route.metaclass_mro)
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(route.metaclass_mro); ++i) {
        PyObject *base = PyTuple_GET_ITEM(route.metaclass_mro, i);
        if (base == reinterpret_cast<PyObject *>(&PyType_Type))
            return true;
        nb::object names = nb::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(base)));
        if (!names.is_valid() || dict_item(names.ptr(), VX_ID("__instancecheck__")))
            return false;
    }
    return false;
}

// True while `_compile` would reach its cache lookup without running any
// code: the names it reads are re's and the interpreter's own.
bool compile_route_unchanged(nb::handle re_match) {
    const ReMatchRoute &route = re_route;
    if (!route.match.unchanged(re_match.ptr()) || !route.cache || !PyDict_CheckExact(route.cache))
        return false;
    PyObject *helper = vx::global_seen_by(re_match.ptr(), VX_ID("_compile"));
    if (!helper || !route.compile_helper.unchanged(helper) ||
        vx::global_seen_by(helper, VX_ID("RegexFlag")) != route.regex_flag ||
        vx::global_seen_by(helper, VX_ID("_cache2")) != route.cache ||
        !vx::is_builtin_function(vx::global_seen_by(helper, VX_ID("isinstance")), "isinstance") ||
        vx::global_seen_by(helper, VX_ID("type")) != reinterpret_cast<PyObject *>(&PyType_Type))
        return false;
    return plain_instance_check(route);
}

// The pattern `_compile(kRatioPattern, 0)` returns now, when that is known
// without running any code: one re compiled from this very text with the
// default flags, found in its cache.
nb::object cached_ratio_pattern(nb::handle re_match) {
    if (!compile_route_unchanged(re_match))
        return {};
    PyObject *found = dict_item(re_route.cache, re_route.cache_key);
    if (!found)
        return {};
    if (found != re_route.verified_pattern) {
        if (std::string_view(Py_TYPE(found)->tp_name) != "re.Pattern")
            return {};
        nb::object pattern = nb::borrow(found);
        nb::object text = nb::steal(PyObject_GetAttrString(found, "pattern"));
        nb::object flags = nb::steal(PyObject_GetAttrString(found, "flags"));
        bool same = text.is_valid() && PyUnicode_CheckExact(text.ptr()) &&
                    PyUnicode_CompareWithASCIIString(text.ptr(), kRatioPattern) == 0 && flags.is_valid() &&
                    PyLong_CheckExact(flags.ptr()) && PyLong_AsLong(flags.ptr()) == re_route.unicode_flag;
        PyErr_Clear();
        if (!same)
            return {};
        Py_XSETREF(re_route.verified_pattern, pattern.release().ptr());
    }
    return nb::borrow(found);
}

// `re.match(r"(\d+):(\d+)", text)` with `re` looked up at call time.
nb::object match_ratio(const vx::Args &args, nb::handle ratio_str) {
    nb::object re_match = args.global(VX_ID("re")).attr(VX_ID("match"));
    nb::object stripped = vx::steal_or_throw(PyObject_CallMethodNoArgs(ratio_str.ptr(), VX_ID("strip").ptr()));
    if (nb::object pattern = cached_ratio_pattern(re_match); pattern.is_valid())
        return vx::steal_or_throw(PyObject_CallMethodOneArg(pattern.ptr(), VX_ID("match").ptr(), stripped.ptr()));
    return re_match(VX_ID(kRatioPattern), stripped);
}

nb::object parse_ratio(const vx::Args &args) {
    nb::str ratio_str = args.str(0);
    nb::object match = match_ratio(args, ratio_str);
    if (!vx::truth(match))
        vx::raise(PyExc_ValueError, "%s%U%s", kRatioFormatErrorPrefix, ratio_str.ptr(), kRatioFormatErrorSuffix);
    nb::object width = int_of(match.attr(VX_ID("group"))(1));
    nb::object height = int_of(match.attr(VX_ID("group"))(2));
    return nb::make_tuple(width, height);
}

// --- Closest standard ratio ---------------------------------------------------

// The scan over an exact dict of floats, done without the interpreter. Empty
// when the map or a value is of another kind (nothing observable has
// happened then, so the general scan can start over).
std::optional<nb::object> closest_in_float_map(nb::handle ratio_map, double img_ratio, nb::handle min_diff,
                                               nb::handle best_ratio) {
    if (!PyDict_CheckExact(ratio_map.ptr()) || !PyFloat_CheckExact(min_diff.ptr()))
        return std::nullopt;
    ratios::ClosestRatioSearch search(img_ratio, PyFloat_AS_DOUBLE(min_diff.ptr()));
    PyObject *best = best_ratio.ptr();
    PyObject *ratio_str = nullptr;
    PyObject *std_val = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(ratio_map.ptr(), &position, &ratio_str, &std_val)) {
        if (!PyFloat_CheckExact(std_val))
            return std::nullopt;
        if (search.offer(PyFloat_AS_DOUBLE(std_val)))
            best = ratio_str;
    }
    return nb::borrow(best);
}

// The same scan through the interpreter's operators, for maps and values of
// any kind.
nb::object closest_in_any_map(nb::handle ratio_map, double img_ratio, nb::object min_diff, nb::object best_ratio) {
    nb::object ratio = vx::steal_or_throw(PyFloat_FromDouble(img_ratio));
    nb::object items = ratio_map.attr(VX_ID("items"))();
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(items.ptr()));
    while (nb::object item = nb::steal(PyIter_Next(iterator.ptr()))) {
        auto [ratio_str, std_val] = unpack_pair(item);
        nb::object difference = vx::steal_or_throw(PyNumber_Subtract(ratio.ptr(), std_val.ptr()));
        nb::object diff = vx::steal_or_throw(PyNumber_Absolute(difference.ptr()));
        if (compare(diff, min_diff, Py_LT)) {
            min_diff = std::move(diff);
            best_ratio = std::move(ratio_str);
        }
    }
    vx::throw_if_error();
    return best_ratio;
}

// `width / height` for ints, as a double (int / int is always a float).
double ratio_of(nb::handle width, nb::handle height) {
    auto w = native_int(width, kNativeMagnitude);
    auto h = native_int(height, kNativeMagnitude);
    if (w && h) {
        if (auto quotient = ratios::true_divide(*w, *h))
            return *quotient;
    }
    nb::object quotient = vx::steal_or_throw(PyNumber_TrueDivide(width.ptr(), height.ptr()));
    return PyFloat_AsDouble(quotient.ptr());
}

// `ratio_list[0]`.
nb::object first_entry(nb::handle ratio_list) {
    if (PyList_CheckExact(ratio_list.ptr()) && PyList_GET_SIZE(ratio_list.ptr()) > 0)
        return nb::borrow(PyList_GET_ITEM(ratio_list.ptr(), 0));
    nb::object zero = new_int(0);
    return vx::steal_or_throw(PyObject_GetItem(ratio_list.ptr(), zero.ptr()));
}

nb::object closest_standard_ratio(const vx::Args &args) {
    nb::handle self = args[0];
    nb::int_ width = args.integer(1);
    nb::int_ height = args.integer(2);
    double img_ratio = ratio_of(width, height);
    nb::object min_diff = args.global(VX_ID("math")).attr(VX_ID("inf"));
    nb::object best_ratio = first_entry(self.attr(VX_ID("STANDARD_RATIO_LIST")));
    nb::object ratio_map = self.attr(VX_ID("_std_ratio_map"));
    if (auto best = closest_in_float_map(ratio_map, img_ratio, min_diff, best_ratio))
        return vx::checked_str_result(std::move(*best));
    return vx::checked_str_result(closest_in_any_map(ratio_map, img_ratio, std::move(min_diff), std::move(best_ratio)));
}

// --- Size adjustment --------------------------------------------------------

// `int(side * expand_scale)`: natively for a small int, otherwise with the
// interpreter's operators; int()'s own errors for NaN and infinity.
nb::object scaled_side(nb::handle side, double expand_scale) {
    if (auto pixels = native_int(side, kNativeMagnitude)) {
        double product = ratios::scaled_product(*pixels, expand_scale);
        if (auto truncated = ratios::truncate_to_pixels(product))
            return new_int(*truncated);
        return vx::steal_or_throw(PyLong_FromDouble(product));
    }
    nb::object scale = vx::steal_or_throw(PyFloat_FromDouble(expand_scale));
    nb::object product = vx::steal_or_throw(PyNumber_Multiply(side.ptr(), scale.ptr()));
    return int_of(product);
}

// Which sides to scale. Resize mode asks `ori_h > ori_w`, then
// `ori_w > ori_h`; fill mode `ori_w < ori_h`, then `ori_h < ori_w`.
ratios::ScaledSides sides_to_scale(nb::handle ori_w, nb::handle ori_h, bool fill_mode) {
    auto w = native_int(ori_w, kNativeMagnitude);
    auto h = native_int(ori_h, kNativeMagnitude);
    if (w && h)
        return ratios::scaled_sides(*w, *h);
    bool width_shorter = fill_mode ? compare(ori_w, ori_h, Py_LT) : compare(ori_h, ori_w, Py_GT);
    if (width_shorter)
        return ratios::ScaledSides::Width;
    bool height_shorter = fill_mode ? compare(ori_h, ori_w, Py_LT) : compare(ori_w, ori_h, Py_GT);
    return height_shorter ? ratios::ScaledSides::Height : ratios::ScaledSides::Both;
}

// The output size of either mode: the shorter side (both for a square)
// multiplied by the expansion factor and truncated.
std::pair<nb::object, nb::object> expanded_size(nb::handle ori_w, nb::handle ori_h, double expand_scale,
                                                bool fill_mode) {
    ratios::ScaledSides sides = sides_to_scale(ori_w, ori_h, fill_mode);
    nb::object width = sides == ratios::ScaledSides::Height ? nb::borrow(ori_w) : scaled_side(ori_w, expand_scale);
    nb::object height = sides == ratios::ScaledSides::Width ? nb::borrow(ori_h) : scaled_side(ori_h, expand_scale);
    return {std::move(width), std::move(height)};
}

// `(canvas_side - image_side) // 2`.
nb::object centring_offset(nb::handle canvas_side, nb::handle image_side) {
    auto canvas = native_int(canvas_side, kNativeMagnitude);
    auto image = native_int(image_side, kNativeMagnitude);
    if (canvas && image)
        return new_int(ratios::centring_offset(*canvas, *image));
    nb::object surplus = vx::steal_or_throw(PyNumber_Subtract(canvas_side.ptr(), image_side.ptr()));
    nb::object two = new_int(2);
    return vx::steal_or_throw(PyNumber_FloorDivide(surplus.ptr(), two.ptr()));
}

// Resize mode: the whole image resampled with the Lanczos filter.
nb::object resized(const vx::Args &args, nb::handle img, nb::handle ori_w, nb::handle ori_h, double expand_scale) {
    auto [expand_w, expand_h] = expanded_size(ori_w, ori_h, expand_scale, false);
    nb::object resize = nb::getattr(img, VX_ID("resize"));
    nb::object size = nb::make_tuple(expand_w, expand_h);
    nb::object lanczos = nb::getattr(nb::getattr(args.global(VX_ID("Image")), VX_ID("Resampling")), VX_ID("LANCZOS"));
    return resize(size, lanczos);
}

// Fill mode: the image, unscaled, centred on a canvas of the fill colour and
// pasted through its own alpha.
nb::object filled(const vx::Args &args, nb::handle self, nb::handle img, nb::handle ori_w, nb::handle ori_h,
                  double expand_scale) {
    auto [new_w, new_h] = expanded_size(ori_w, ori_h, expand_scale, true);
    nb::handle scaled_img = img;
    nb::object img_w = scaled_img.attr(VX_ID("width"));
    nb::object img_h = scaled_img.attr(VX_ID("height"));
    nb::object new_image = nb::getattr(args.global(VX_ID("Image")), VX_ID("new"));
    nb::object canvas = new_image(VX_ID("RGBA"), nb::make_tuple(new_w, new_h), nb::getattr(self, VX_ID("fill_color")));
    nb::object paste_x = centring_offset(new_w, img_w);
    nb::object paste_y = centring_offset(new_h, img_h);
    nb::object paste = nb::getattr(canvas, VX_ID("paste"));
    nb::object position = nb::make_tuple(paste_x, paste_y);
    bool has_alpha = compare(nb::getattr(scaled_img, VX_ID("mode")), VX_ID("RGBA"), Py_EQ);
    paste(scaled_img, position, "mask"_a = has_alpha ? scaled_img : nb::handle(Py_None));
    return canvas;
}

// Encodes in the working image's own format, which after the conversion is
// always unset, hence PNG.
nb::object encoded(const vx::Args &args, nb::handle img, nb::handle to_encode) {
    nb::object out_io = args.global(VX_ID("BytesIO"))();
    nb::object img_format = img.attr(VX_ID("format"));
    if (!vx::truth(img_format))
        img_format = nb::borrow(VX_ID("PNG"));
    to_encode.attr(VX_ID("save"))(out_io, "format"_a = img_format, "quality"_a = 95);
    out_io.attr(VX_ID("seek"))(0);
    return out_io.attr(VX_ID("getvalue"))();
}

// The gate: a requested ratio that is not the image's closest one.
bool requested_ratio_differs(nb::handle self, nb::handle ori_closest_ratio) {
    return !self.attr(VX_ID("proportion")).is_none() &&
           compare(self.attr(VX_ID("proportion")), ori_closest_ratio, Py_NE);
}

// The early path: the input, byte for byte, from the stream that holds it.
nb::object original_bytes(nb::handle self, nb::handle img_io, bool return_origin_ratio) {
    img_io.attr(VX_ID("seek"))(0);
    nb::object origin_bytes = img_io.attr(VX_ID("getvalue"))();
    if (return_origin_ratio)
        return nb::make_tuple(origin_bytes, self.attr(VX_ID("proportion")));
    return origin_bytes;
}

nb::object adjust_size(const vx::Args &args) {
    nb::handle self = args[0];
    bool return_origin_ratio = args.truth(2);
    double expand_percent = args.real(3);
    nb::bytes image_bytes = args.bytes(1);

    nb::object img_io = args.global(VX_ID("BytesIO"))(image_bytes);
    nb::object img = args.global(VX_ID("Image")).attr(VX_ID("open"))(img_io).attr(VX_ID("convert"))(VX_ID("RGBA"));
    auto [ori_w, ori_h] = unpack_pair(img.attr(VX_ID("size")));
    nb::object ori_closest_ratio = self.attr(VX_ID("_get_closest_standard_ratio"))(ori_w, ori_h);
    if (requested_ratio_differs(self, ori_closest_ratio))
        return original_bytes(self, img_io, return_origin_ratio);

    double expand_scale = ratios::expand_scale(expand_percent);
    nb::object to_encode;
    if (compare(self.attr(VX_ID("need_adjust")), VX_ID("resize"), Py_EQ))
        to_encode = resized(args, img, ori_w, ori_h, expand_scale);
    else if (compare(self.attr(VX_ID("need_adjust")), VX_ID("fill"), Py_EQ))
        to_encode = filled(args, self, img, ori_w, ori_h, expand_scale);
    else
        vx::raise(PyExc_ValueError, "%s", kUnsupportedModeError);
    nb::object result_bytes = encoded(args, img, to_encode);
    if (return_origin_ratio)
        return nb::make_tuple(result_bytes, ori_closest_ratio);
    return result_bytes;
}

nb::object standard_ratio_list() {
    nb::list entries;
    for (std::string_view ratio : ratios::kStandardRatios)
        entries.append(nb::str(ratio.data(), ratio.size()));
    return entries;
}

} // namespace

VX_MODULE(canvora, module) {
    vx::ModuleContext context{module, kSource};
    context.bind("__doc__", nb::str(kModuleDoc));
    context.bind("BytesIO", vx::ModuleContext::import_from("io", "BytesIO"));
    nb::object typing = vx::ModuleContext::import("typing");
    context.bind("Optional", typing.attr("Optional"));
    context.bind("Tuple", typing.attr("Tuple"));
    context.bind("Image", vx::ModuleContext::import_from("PIL", "Image"));
    nb::object re_module = vx::ModuleContext::import("re");
    capture_re_route(re_module);
    context.bind("re", re_module);
    context.bind("math", vx::ModuleContext::import("math"));

    vx::ClassBuilder tool(context, "ImageTool", kImageToolDoc);
    tool.set("STANDARD_RATIO_LIST", standard_ratio_list());
    tool.method({.name = "__init__",
                 .implementation = tool_init,
                 .params = {{"self"},
                            {"proportion", "Optional[str]", nb::none()},
                            {"need_adjust", "str", nb::str("fill")},
                            {"fill_color", nullptr, nb::make_tuple(255, 255, 255, 0)}},
                 .doc = kInitDoc,
                 .extra_keywords_name = "kwargs",
                 .source_line = __LINE__});
    tool.static_method({.name = "_parse_ratio",
                        .implementation = parse_ratio,
                        .params = {{"ratio_str", "str"}},
                        .doc = kParseRatioDoc,
                        .return_annotation = "Tuple[int, int]",
                        .source_line = __LINE__});
    tool.method({.name = "_get_closest_standard_ratio",
                 .implementation = closest_standard_ratio,
                 .params = {{"self"}, {"width", "int"}, {"height", "int"}},
                 .doc = kClosestRatioDoc,
                 .return_annotation = "str",
                 .source_line = __LINE__});
    tool.method({.name = "adjust_size",
                 .implementation = adjust_size,
                 .params = {{"self"},
                            {"image_bytes", "bytes"},
                            {"return_origin_ratio", "bool", nb::bool_(false)},
                            {"expand_percent", "float", nb::float_(10.0)}},
                 .doc = kAdjustSizeDoc,
                 .source_line = __LINE__});
    tool.finish();
}
