// valdrix.resize: fits an image object into a canvas of a given size, scaled
// uniformly and centred on a background colour.
#include <vxcore/fit.hpp>
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

using vx::int_of;
using vx::native_int;
using vx::new_int;
using vx::number_op;

using vxcore::kFitMaxMagnitude;

struct ResizedSize {
    nb::object new_w;
    nb::object new_h;
};

// new_w, new_h through the interpreter's number protocol: huge ints, floats
// from a duck-typed image, and every error case.
ResizedSize interpreter_size(nb::handle target_w, nb::handle target_h, nb::handle source_w, nb::handle source_h) {
    nb::object width_ratio = number_op(PyNumber_TrueDivide, target_w, source_w);
    nb::object height_ratio = number_op(PyNumber_TrueDivide, target_h, source_h);
    nb::object ratio = vx::compare(height_ratio, width_ratio, Py_LT) ? height_ratio : width_ratio;
    return {int_of(number_op(PyNumber_Multiply, source_w, ratio)),
            int_of(number_op(PyNumber_Multiply, source_h, ratio))};
}

ResizedSize resized_size(nb::handle target_w, nb::handle target_h, nb::handle source_w, nb::handle source_h) {
    auto tw = native_int(target_w, kFitMaxMagnitude), th = native_int(target_h, kFitMaxMagnitude);
    auto sw = native_int(source_w, kFitMaxMagnitude), sh = native_int(source_h, kFitMaxMagnitude);
    if (!(tw && th && sw && sh) || !vxcore::fit_is_native(*tw, *th, *sw, *sh))
        return interpreter_size(target_w, target_h, source_w, source_h);
    vxcore::CanvasFit fit = vxcore::fit_to_canvas(*tw, *th, *sw, *sh);
    return {new_int(fit.new_w), new_int(fit.new_h)};
}

// `(target - resized) // 2`; both are ints by now.
nb::object centring_offset(nb::handle target, nb::handle resized) {
    auto t = native_int(target, kFitMaxMagnitude), r = native_int(resized, kFitMaxMagnitude);
    if (t && r)
        return new_int(vxcore::floor_divide(*t - *r, 2));
    return number_op(PyNumber_FloorDivide, number_op(PyNumber_Subtract, target, resized), new_int(2));
}

nb::object image_resize(const vx::Args &args) {
    nb::handle image = args[0];
    nb::int_ target_w = args.integer(1);
    nb::int_ target_h = args.integer(2);
    nb::handle bg_color = args[3];

    nb::object new_image = nb::getattr(args.global(VX_ID("Image")), VX_ID("new"));
    nb::object canvas = new_image(VX_ID("RGB"), nb::make_tuple(target_w, target_h), bg_color);

    auto [source_w, source_h] = vx::unpack_pair(nb::getattr(image, VX_ID("size")));
    ResizedSize size = resized_size(target_w, target_h, source_w, source_h);

    nb::object resize = nb::getattr(image, VX_ID("resize"));
    nb::object new_size = nb::make_tuple(size.new_w, size.new_h);
    nb::object lanczos = nb::getattr(args.global(VX_ID("Resampling")), VX_ID("LANCZOS"));
    nb::object resized = resize(new_size, lanczos);

    nb::object paste_x = centring_offset(target_w, size.new_w);
    nb::object paste_y = centring_offset(target_h, size.new_h);
    nb::object paste = nb::getattr(canvas, VX_ID("paste"));
    paste(resized, nb::make_tuple(paste_x, paste_y));
    return canvas;
}

} // namespace

VX_MODULE(resize, module) {
    vx::ModuleContext context{module, kSource};
    context.bind("__doc__", nb::str(kModuleDoc));
    // `from PIL import Image` binds the submodule, importing it when needed.
    context.bind("Image", vx::ModuleContext::import_from("PIL", "Image"));
    context.bind("Resampling", vx::ModuleContext::import_from("PIL.Image", "Resampling"));
    context.def({.name = "image_resize",
                 .implementation = image_resize,
                 .params = {{"image", "Image"},
                            {"target_w", "int"},
                            {"target_h", "int"},
                            {"bg_color", nullptr, nb::make_tuple(0, 0, 0)}},
                 .doc = kImageResizeDoc,
                 .return_annotation = "Image",
                 .source_line = __LINE__});
}
