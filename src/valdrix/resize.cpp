// valdrix.resize: fits an image object into a canvas of a given size, scaled
// uniformly and centred on a background colour.
#include <vxcore/fit.hpp>
#include <vxnative/globals_guard.hpp>
#include <vxnative/native.hpp>
#include <vxnative/numbers.hpp>
#include <vxnative/unpack.hpp>

#include <cstdint>
#include <optional>

namespace nb = nanobind;

namespace {

constexpr const char *kSource = "valdrix/resize.cpp";

constexpr const char *kModuleDoc =
    "Canvas fitting. image_resize scales a Pillow image uniformly so that it fits a canvas of "
    "the given size and centres it there on a background colour, returning a new RGB image.";

constexpr const char *kImageResizeDoc = "将图片等比缩放并居中放置到指定尺寸的画布上。\n"
                                        "\n"
                                        "Args:\n"
                                        "    image: PIL Image 对象\n"
                                        "    target_w: 目标宽度\n"
                                        "    target_h: 目标高度\n"
                                        "    bg_color: 画布背景色，RGB 元组，默认黑色 (0, 0, 0)\n"
                                        "\n"
                                        "Returns:\n"
                                        "    缩放并居中后的 PIL Image 对象\n";

using vx::new_int;
using vx::number_op;
using vx::guard::exact_int;

using vxcore::kFitMaxMagnitude;

struct State : vx::ModuleState {
    vx::guard::Captures<"min", "int"> captured{*this};
    vx::guard::Route<"min", "int"> size_route;
};

struct ResizedSize {
    nb::object new_w;
    nb::object new_h;
};

// ratio = min(target_w / s_w, target_h / s_h)
// new_w = int(s_w * ratio); new_h = int(s_h * ratio)
// through the interpreter, with each name looked up where Python looks it up.
ResizedSize interpreter_size(const vx::Args &args, nb::handle target_w, nb::handle target_h, nb::handle source_w,
                             nb::handle source_h) {
    nb::object min = args.global<"min">();
    nb::object width_ratio = number_op(PyNumber_TrueDivide, target_w, source_w);
    nb::object height_ratio = number_op(PyNumber_TrueDivide, target_h, source_h);
    nb::object ratio = vx::call(min, {width_ratio, height_ratio});
    auto truncated = [&](nb::handle side) {
        nb::object int_type = args.global<"int">();
        return vx::call(int_type, {number_op(PyNumber_Multiply, side, ratio)});
    };
    nb::object new_w = truncated(source_w);
    return {new_w, truncated(source_h)};
}

ResizedSize resized_size(const vx::Args &args, nb::handle target_w, nb::handle target_h, nb::handle source_w,
                         nb::handle source_h) {
    State &state = args.state<State>();
    auto tw = exact_int(target_w, kFitMaxMagnitude), th = exact_int(target_h, kFitMaxMagnitude);
    auto sw = exact_int(source_w, kFitMaxMagnitude), sh = exact_int(source_h, kFitMaxMagnitude);
    bool names_original = state.size_route.holds(state.captured, args);
    if (!names_original || !(tw && th && sw && sh) || !vxcore::fit_is_native(*tw, *th, *sw, *sh))
        return interpreter_size(args, target_w, target_h, source_w, source_h);
    vxcore::CanvasFit fit = vxcore::fit_to_canvas(*tw, *th, *sw, *sh);
    return {new_int(fit.new_w), new_int(fit.new_h)};
}

// `(target - resized) // 2`; both are ints by now.
nb::object centring_offset(nb::handle target, nb::handle resized) {
    auto t = exact_int(target, kFitMaxMagnitude), r = exact_int(resized, kFitMaxMagnitude);
    if (t && r)
        return new_int(vxcore::floor_divide(*t - *r, 2));
    return number_op(PyNumber_FloorDivide, number_op(PyNumber_Subtract, target, resized), new_int(2));
}

nb::object image_resize(const vx::Args &args) {
    nb::handle image = args[0];
    nb::int_ target_w = args.integer(1);
    nb::int_ target_h = args.integer(2);
    nb::handle bg_color = args[3];

    nb::object new_image = nb::getattr(args.global<"Image">(), args.id<"new">());
    nb::object canvas = vx::call(new_image, {args.id<"RGB">(), vx::pair(target_w, target_h), bg_color});

    auto [source_w, source_h] = vx::unpack_pair(nb::getattr(image, args.id<"size">()));
    ResizedSize size = resized_size(args, target_w, target_h, source_w, source_h);

    nb::object resize = nb::getattr(image, args.id<"resize">());
    nb::object new_size = vx::pair(size.new_w, size.new_h);
    nb::object lanczos = nb::getattr(args.global<"Resampling">(), args.id<"LANCZOS">());
    nb::object resized = vx::call(resize, {new_size, lanczos});

    nb::object paste_x = centring_offset(target_w, size.new_w);
    nb::object paste_y = centring_offset(target_h, size.new_h);
    // Looked up after the box is built, which runs no Python code.
    vx::call_method(canvas, args.id<"paste">(), {resized, vx::pair(paste_x, paste_y)});
    return canvas;
}

} // namespace

VX_MODULE(resize, State, kSource, module) {
    module.bind("__doc__", nb::str(kModuleDoc));
    // `from PIL import Image` binds the submodule, importing it when needed.
    module.bind_from("PIL", {"Image"});
    module.bind_from("PIL.Image", {"Resampling"});
    module.def({.name = "image_resize",
                .implementation = image_resize,
                .params = {{"image", "Image"},
                           {"target_w", "int"},
                           {"target_h", "int"},
                           {"bg_color", nullptr, nb::make_tuple(0, 0, 0)}},
                .doc = kImageResizeDoc,
                .return_annotation = "Image",
                .source_line = __LINE__});
}
