// valdrix.canvora: normalising uploaded images against a list of standard
// aspect ratios.
//
// Every method takes the plain code's steps in Python's order: attributes
// through `self` at each use, globals and built-ins looked up when reached,
// and every image operation Pillow's, called through the interpreter. The
// ratio arithmetic is native (vxcore/canvora_ratios.hpp) on exact ints and
// floats; the closest-ratio scan skips calls of `abs`, and _parse_ratio
// matches its pattern natively, only while a guard proves the names still
// resolve to what the module found at import.
#include <vxcore/canvora_ratios.hpp>
#include <vxnative/globals_guard.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>
#include <vxnative/unpack.hpp>

#include <initializer_list>
#include <optional>
#include <string_view>
#include <utility>

namespace nb = nanobind;
namespace ratios = vxcore::canvora;

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

constexpr const char *kUnsupportedModeError = "need_adjust 仅支持 resize / fill";

// --- the module's state ---------------------------------------------------------

struct State : vx::ModuleState {
    vx::guard::Captures<"abs", "re", "re.match", "int"> captured{*this};
    // The closest-ratio scan skips calls of `abs` while it is the built-in.
    vx::guard::Route<"abs"> closest_route;
    // _parse_ratio matches its literal pattern natively while `re.match` is
    // re's own function and `int` the built-in.
    vx::guard::Route<"re.match", "int"> parse_route;
};

// --- the interpreter's operations --------------------------------------------------

// Exact ints up to this magnitude keep sums, differences and conversions to
// double of two of them exact in C++; larger ones take the interpreter's
// arithmetic.
constexpr int64_t kNativeMagnitude = (int64_t{1} << 62) - 1;

using vx::compare;
using vx::new_int;
using vx::number_op;
using vx::pair;
using vx::unpack_pair;

std::optional<int64_t> small_int(nb::handle value) {
    return vx::guard::exact_int(value, kNativeMagnitude);
}

nb::object new_float(double value) {
    return vx::steal_or_throw(PyFloat_FromDouble(value));
}

// `numerator / denominator`, natively when both are small ints.
nb::object true_divide(nb::handle numerator, nb::handle denominator) {
    auto n = small_int(numerator);
    auto d = small_int(denominator);
    if (n && d) {
        if (auto quotient = ratios::true_divide(*n, *d))
            return new_float(*quotient);
    }
    return number_op(PyNumber_TrueDivide, numerator, denominator);
}

// --- __init__ -------------------------------------------------------------------

// `isinstance(proportion, str)`, both names looked up now.
bool is_text(const vx::Args &args, nb::handle proportion) {
    nb::object isinstance = args.global<"isinstance">();
    nb::object str_type = args.global<"str">();
    return vx::truth(vx::call(isinstance, {proportion, str_type}));
}

// `isinstance(proportion, str) and proportion.strip() == ""`.
bool is_blank_text(const vx::Args &args, nb::handle proportion) {
    return is_text(args, proportion) && compare(vx::call_method(proportion, args.id<"strip">()), args.id<"">(), Py_EQ);
}

// self._std_ratio_map = {}
// for r in self.STANDARD_RATIO_LIST:
//     w, h = self._parse_ratio(r)
//     self._std_ratio_map[r] = w / h
void build_ratio_map(const vx::Args &args, nb::handle self) {
    vx::set_attribute(self, args.id<"_std_ratio_map">(), nb::dict());
    nb::object ratio_list = nb::getattr(self, args.id<"STANDARD_RATIO_LIST">());
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(ratio_list.ptr()));
    while (nb::object ratio_str = vx::next(iterator)) {
        nb::object parse_ratio = nb::getattr(self, args.id<"_parse_ratio">());
        auto [w, h] = unpack_pair(vx::call(parse_ratio, {ratio_str}));
        nb::object quotient = true_divide(w, h);
        nb::object ratio_map = nb::getattr(self, args.id<"_std_ratio_map">());
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
    if (is_blank_text(args, proportion))
        proportion = nb::none();
    vx::set_attribute(self, args.id<"proportion">(), proportion);
    vx::set_attribute(self, args.id<"need_adjust">(), need_adjust);
    vx::set_attribute(self, args.id<"fill_color">(), fill_color);
    vx::set_attribute(self, args.id<"kwargs">(), args.extra_keywords());
    build_ratio_map(args, self);
    return nb::none();
}

// --- _parse_ratio -------------------------------------------------------------------

// `int(match.group(index))`, with `int` looked up first.
nb::object group_as_int(const vx::Args &args, nb::handle match, int index) {
    nb::object int_type = args.global<"int">();
    return vx::call(int_type, {vx::call_method(match, args.id<"group">(), {new_int(index)})});
}

// raise ValueError(f"比例格式错误 {ratio_str}，示例：3:4"), the class looked up
// first; the result of the native function (see vx::raised).
nb::object ratio_format_error(const vx::Args &args, nb::handle ratio_str) {
    nb::object value_error = args.global<"ValueError">();
    return vx::raised(
        vx::call(value_error, {vx::concat({args.id<"比例格式错误 ">(), ratio_str, args.id<"，示例：3:4">()})}));
}

// `int(text[begin:end])` of a run of decimal digits, which is what int()
// gives for the group the pattern matched there.
nb::object int_of_digits(nb::handle text, size_t begin, size_t end) {
    nb::object digits = vx::steal_or_throw(
        PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)));
    return vx::steal_or_throw(PyLong_FromUnicodeObject(digits.ptr(), 10));
}

// The pattern matched natively: what `re.match` of re's own function finds
// for this literal pattern, with the interpreter's own whitespace and
// decimal digits.
nb::object parse_ratio_natively(const vx::Args &args, nb::handle ratio_str) {
    auto is_space = [](Py_UCS4 c) { return Py_UNICODE_ISSPACE(c) != 0; };
    auto is_decimal = [](Py_UCS4 c) { return Py_UNICODE_ISDECIMAL(c) != 0; };
    std::optional<ratios::RatioGroups> groups = vx::visit_units(ratio_str, [&](const auto *units, size_t length) {
        return ratios::match_ratio(units, length, is_space, is_decimal);
    });
    if (!groups)
        return ratio_format_error(args, ratio_str);
    return pair(int_of_digits(ratio_str, groups->width_begin, groups->width_end),
                int_of_digits(ratio_str, groups->height_begin, groups->height_end));
}

// match = re.match(r"(\d+):(\d+)", ratio_str.strip())
// if not match: raise ValueError(...)
// return int(match.group(1)), int(match.group(2))
nb::object parse_ratio(const vx::Args &args) {
    nb::str ratio_str = args.str(0);
    State &state = args.state<State>();
    if (state.parse_route.holds(state.captured, args))
        return parse_ratio_natively(args, ratio_str);
    nb::object match_function = nb::getattr(args.global<"re">(), args.id<"match">());
    nb::object stripped = vx::call_method(ratio_str, args.id<"strip">());
    nb::object match = vx::call(match_function, {args.id<R"((\d+):(\d+))">(), stripped});
    if (!vx::truth(match))
        return ratio_format_error(args, ratio_str);
    nb::object width = group_as_int(args, match, 1);
    nb::object height = group_as_int(args, match, 2);
    return pair(width, height);
}

// --- _get_closest_standard_ratio ---------------------------------------------------

// The scan in machine arithmetic: an exact dict of exact floats, an exact
// float to beat, and `abs` the built-in (checked last: nothing before the
// scan runs Python code). Iterating such a dict and comparing floats runs no
// Python code either, so the dict cannot change during the scan; a value of
// another kind stops it before anything observable has happened.
std::optional<nb::object> closest_natively(const vx::Args &args, nb::handle ratio_map, double img_ratio,
                                           nb::handle min_diff, nb::handle best_ratio) {
    State &state = args.state<State>();
    if (!PyDict_CheckExact(ratio_map.ptr()) || !PyFloat_CheckExact(min_diff.ptr()) ||
        !state.closest_route.holds(state.captured, args))
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

// for ratio_str, std_val in self._std_ratio_map.items():
//     diff = abs(img_ratio - std_val)
//     if diff < min_diff:
//         min_diff = diff
//         best_ratio = ratio_str
nb::object closest_plainly(const vx::Args &args, nb::handle ratio_map, double img_ratio, nb::object min_diff,
                           nb::object best_ratio) {
    nb::object ratio = new_float(img_ratio);
    nb::object items = vx::call_method(ratio_map, args.id<"items">());
    nb::object iterator = vx::steal_or_throw(PyObject_GetIter(items.ptr()));
    while (nb::object item = vx::next(iterator)) {
        auto [ratio_str, std_val] = unpack_pair(item);
        nb::object abs = args.global<"abs">();
        nb::object diff = vx::call(abs, {number_op(PyNumber_Subtract, ratio, std_val)});
        if (compare(diff, min_diff, Py_LT)) {
            min_diff = std::move(diff);
            best_ratio = std::move(ratio_str);
        }
    }
    vx::throw_if_error();
    return best_ratio;
}

// `width / height` for exact ints: always a float.
double ratio_of(nb::handle width, nb::handle height) {
    nb::object quotient = true_divide(width, height);
    return PyFloat_AsDouble(quotient.ptr());
}

// `math.inf`, `math` looked up first.
nb::object math_inf(const vx::Args &args) {
    return nb::getattr(args.global<"math">(), args.id<"inf">());
}

nb::object closest_standard_ratio(const vx::Args &args) {
    nb::handle self = args[0];
    nb::int_ width = args.integer(1);
    nb::int_ height = args.integer(2);
    double img_ratio = ratio_of(width, height);
    nb::object min_diff = math_inf(args);
    nb::object ratio_list = nb::getattr(self, args.id<"STANDARD_RATIO_LIST">());
    nb::object best_ratio = vx::steal_or_throw(PyObject_GetItem(ratio_list.ptr(), new_int(0).ptr()));
    nb::object ratio_map = nb::getattr(self, args.id<"_std_ratio_map">());
    if (auto best = closest_natively(args, ratio_map, img_ratio, min_diff, best_ratio))
        return vx::checked_str_result(std::move(*best));
    return vx::checked_str_result(
        closest_plainly(args, ratio_map, img_ratio, std::move(min_diff), std::move(best_ratio)));
}

// --- adjust_size: sizes -------------------------------------------------------------

// `side * expand_scale`, natively for a small int.
nb::object scaled_product(nb::handle side, double expand_scale) {
    if (auto pixels = small_int(side))
        return new_float(ratios::scaled_product(*pixels, expand_scale));
    return number_op(PyNumber_Multiply, side, new_float(expand_scale));
}

// `int(side * expand_scale)`, with `int` looked up first.
nb::object scaled_side(const vx::Args &args, nb::handle side, double expand_scale) {
    nb::object int_type = args.global<"int">();
    nb::object product = scaled_product(side, expand_scale);
    return vx::call(int_type, {product});
}

// Which sides to scale. Resize mode asks `ori_h > ori_w`, then
// `ori_w > ori_h`; fill mode `ori_w < ori_h`, then `ori_h < ori_w`.
ratios::ScaledSides sides_to_scale(nb::handle ori_w, nb::handle ori_h, bool fill_mode) {
    auto w = small_int(ori_w);
    auto h = small_int(ori_h);
    if (w && h)
        return ratios::scaled_sides(*w, *h);
    bool width_shorter = fill_mode ? compare(ori_w, ori_h, Py_LT) : compare(ori_h, ori_w, Py_GT);
    if (width_shorter)
        return ratios::ScaledSides::Width;
    bool height_shorter = fill_mode ? compare(ori_h, ori_w, Py_LT) : compare(ori_w, ori_h, Py_GT);
    return height_shorter ? ratios::ScaledSides::Height : ratios::ScaledSides::Both;
}

// The output size of either mode: the shorter side (both for a square)
// multiplied by the expansion factor and truncated, width first.
std::pair<nb::object, nb::object> expanded_size(const vx::Args &args, nb::handle ori_w, nb::handle ori_h,
                                                double expand_scale, bool fill_mode) {
    ratios::ScaledSides sides = sides_to_scale(ori_w, ori_h, fill_mode);
    nb::object width =
        sides == ratios::ScaledSides::Height ? nb::borrow(ori_w) : scaled_side(args, ori_w, expand_scale);
    nb::object height =
        sides == ratios::ScaledSides::Width ? nb::borrow(ori_h) : scaled_side(args, ori_h, expand_scale);
    return {std::move(width), std::move(height)};
}

// `(canvas_side - image_side) // 2`.
nb::object centring_offset(nb::handle canvas_side, nb::handle image_side) {
    auto canvas = small_int(canvas_side);
    auto image = small_int(image_side);
    if (canvas && image)
        return new_int(ratios::centring_offset(*canvas, *image));
    nb::object surplus = number_op(PyNumber_Subtract, canvas_side, image_side);
    return number_op(PyNumber_FloorDivide, surplus, new_int(2));
}

// --- adjust_size: the two modes -------------------------------------------------------

// to_encode = img.resize((expand_w, expand_h), Image.Resampling.LANCZOS)
nb::object resized(const vx::Args &args, nb::handle img, nb::handle ori_w, nb::handle ori_h, double expand_scale) {
    auto [expand_w, expand_h] = expanded_size(args, ori_w, ori_h, expand_scale, false);
    nb::object resize = nb::getattr(img, args.id<"resize">());
    nb::object size = pair(expand_w, expand_h);
    nb::object resampling = nb::getattr(args.global<"Image">(), args.id<"Resampling">());
    nb::object lanczos = nb::getattr(resampling, args.id<"LANCZOS">());
    return vx::call(resize, {size, lanczos});
}

// scaled_img = img
// img_w, img_h = scaled_img.width, scaled_img.height
// canvas = Image.new("RGBA", (new_w, new_h), self.fill_color)
// paste_x = (new_w - img_w) // 2
// paste_y = (new_h - img_h) // 2
// canvas.paste(scaled_img, (paste_x, paste_y), mask=scaled_img if scaled_img.mode == "RGBA" else None)
nb::object filled(const vx::Args &args, nb::handle self, nb::handle img, nb::handle ori_w, nb::handle ori_h,
                  double expand_scale) {
    auto [new_w, new_h] = expanded_size(args, ori_w, ori_h, expand_scale, true);
    nb::handle scaled_img = img;
    nb::object img_w = nb::getattr(scaled_img, args.id<"width">());
    nb::object img_h = nb::getattr(scaled_img, args.id<"height">());
    nb::object new_image = nb::getattr(args.global<"Image">(), args.id<"new">());
    nb::object canvas_size = pair(new_w, new_h);
    nb::object fill_color = nb::getattr(self, args.id<"fill_color">());
    nb::object canvas = vx::call(new_image, {args.id<"RGBA">(), canvas_size, fill_color});
    nb::object paste_x = centring_offset(new_w, img_w);
    nb::object paste_y = centring_offset(new_h, img_h);
    nb::object paste = nb::getattr(canvas, args.id<"paste">());
    nb::object position = pair(paste_x, paste_y);
    nb::object mode = nb::getattr(scaled_img, args.id<"mode">());
    nb::handle mask = compare(mode, args.id<"RGBA">(), Py_EQ) ? scaled_img : nb::handle(Py_None);
    vx::call(paste, {scaled_img, position}, {{args.id<"mask">(), mask}});
    return canvas;
}

// --- adjust_size: the result ------------------------------------------------------------

// out_io = BytesIO()
// img_format = img.format if img.format else "PNG"
// to_encode.save(out_io, format=img_format, quality=95)
// out_io.seek(0)
// result_bytes = out_io.getvalue()
nb::object encoded(const vx::Args &args, nb::handle img, nb::handle to_encode) {
    nb::object out_io = vx::call(args.global<"BytesIO">(), {});
    nb::object img_format = nb::borrow(args.id<"PNG">());
    if (vx::truth(nb::getattr(img, args.id<"format">())))
        img_format = nb::getattr(img, args.id<"format">());
    nb::object save = nb::getattr(to_encode, args.id<"save">());
    vx::call(save, {out_io}, {{args.id<"format">(), img_format}, {args.id<"quality">(), new_int(95)}});
    vx::call_method(out_io, args.id<"seek">(), {new_int(0)});
    return vx::call_method(out_io, args.id<"getvalue">());
}

// The gate: `self.proportion is not None and self.proportion != ori_closest_ratio`.
bool requested_ratio_differs(const vx::Args &args, nb::handle self, nb::handle ori_closest_ratio) {
    if (nb::getattr(self, args.id<"proportion">()).is_none())
        return false;
    return compare(nb::getattr(self, args.id<"proportion">()), ori_closest_ratio, Py_NE);
}

// The early path: the input, byte for byte, from the stream that holds it.
nb::object original_bytes(const vx::Args &args, nb::handle self, nb::handle img_io, bool return_origin_ratio) {
    vx::call_method(img_io, args.id<"seek">(), {new_int(0)});
    nb::object origin_bytes = vx::call_method(img_io, args.id<"getvalue">());
    if (return_origin_ratio)
        return pair(origin_bytes, nb::getattr(self, args.id<"proportion">()));
    return origin_bytes;
}

// img = Image.open(img_io).convert("RGBA")
nb::object open_converted(const vx::Args &args, nb::handle img_io) {
    nb::object open = nb::getattr(args.global<"Image">(), args.id<"open">());
    nb::object opened = vx::call(open, {img_io});
    return vx::call(nb::getattr(opened, args.id<"convert">()), {args.id<"RGBA">()});
}

bool need_adjust_is(const vx::Args &args, nb::handle self, nb::handle mode) {
    return compare(nb::getattr(self, args.id<"need_adjust">()), mode, Py_EQ);
}

nb::object adjust_size(const vx::Args &args) {
    nb::handle self = args[0];
    bool return_origin_ratio = args.truth(2);
    double expand_percent = args.real(3);
    nb::bytes image_bytes = args.bytes(1);

    nb::object img_io = vx::call(args.global<"BytesIO">(), {image_bytes});
    nb::object img = open_converted(args, img_io);
    auto [ori_w, ori_h] = unpack_pair(nb::getattr(img, args.id<"size">()));
    nb::object closest = nb::getattr(self, args.id<"_get_closest_standard_ratio">());
    nb::object ori_closest_ratio = vx::call(closest, {ori_w, ori_h});
    if (requested_ratio_differs(args, self, ori_closest_ratio))
        return original_bytes(args, self, img_io, return_origin_ratio);

    double expand_scale = ratios::expand_scale(expand_percent);
    nb::object to_encode;
    if (need_adjust_is(args, self, args.id<"resize">()))
        to_encode = resized(args, img, ori_w, ori_h, expand_scale);
    else if (need_adjust_is(args, self, args.id<"fill">()))
        to_encode = filled(args, self, img, ori_w, ori_h, expand_scale);
    else
        vx::raise_as_python_does(vx::call(args.global<"ValueError">(), {nb::str(kUnsupportedModeError)}));
    nb::object result_bytes = encoded(args, img, to_encode);
    if (return_origin_ratio)
        return pair(result_bytes, ori_closest_ratio);
    return result_bytes;
}

// --- the module ----------------------------------------------------------------------

nb::object standard_ratio_list() {
    nb::list entries;
    for (std::string_view ratio : ratios::kStandardRatios)
        entries.append(nb::str(ratio.data(), ratio.size()));
    return entries;
}

} // namespace

VX_MODULE(canvora, State, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    module.bind_from("io", {"BytesIO"});
    module.bind_from("typing", {"Optional", "Tuple"});
    module.bind_from("PIL", {"Image"});
    module.bind("re", module.import("re"));
    module.bind("math", module.import("math"));

    vx::ClassBuilder tool(module, "ImageTool", kImageToolDoc);
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
