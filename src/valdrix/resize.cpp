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

// Where the resized image goes on the canvas.
struct Placement {
    nb::object new_w;
    nb::object new_h;
    nb::object paste_x;
    nb::object paste_y;
};

// The value of an exact int that the native arithmetic handles exactly.
std::optional<int64_t> native_operand(nb::handle value) {
    auto number = vx::exact_int64(value);
    if (!number || !vxcore::within_fit_range(*number))
        return std::nullopt;
    return number;
}

using vx::number_op;
nb::object to_int(int64_t value) { return vx::new_int(value); }

// The same steps on arbitrary objects through the interpreter's number
// protocol: huge ints, floats from a duck-typed image, and every error case.
Placement interpreter_placement(nb::handle target_w, nb::handle target_h, nb::handle source_w,
                                nb::handle source_h) {
    nb::object width_ratio = number_op(PyNumber_TrueDivide, target_w, source_w);
    nb::object height_ratio = number_op(PyNumber_TrueDivide, target_h, source_h);
    int height_smaller = PyObject_RichCompareBool(height_ratio.ptr(), width_ratio.ptr(), Py_LT);
    if (height_smaller < 0)
        throw nb::python_error();
    nb::object ratio = height_smaller ? height_ratio : width_ratio;
    Placement placement;
    placement.new_w = vx::steal_or_throw(PyNumber_Long(number_op(PyNumber_Multiply, source_w, ratio).ptr()));
    placement.new_h = vx::steal_or_throw(PyNumber_Long(number_op(PyNumber_Multiply, source_h, ratio).ptr()));
    nb::object two = to_int(2);
    placement.paste_x = number_op(PyNumber_FloorDivide, number_op(PyNumber_Subtract, target_w, placement.new_w), two);
    placement.paste_y = number_op(PyNumber_FloorDivide, number_op(PyNumber_Subtract, target_h, placement.new_h), two);
    return placement;
}

Placement place_on_canvas(nb::handle target_w, nb::handle target_h, nb::handle source_w, nb::handle source_h) {
    auto tw = native_operand(target_w), th = native_operand(target_h);
    auto sw = native_operand(source_w), sh = native_operand(source_h);
    if (!(tw && th && sw && sh) || !vxcore::fit_is_native(*tw, *th, *sw, *sh))
        return interpreter_placement(target_w, target_h, source_w, source_h);
    vxcore::CanvasFit fit = vxcore::fit_to_canvas(*tw, *th, *sw, *sh);
    return {to_int(fit.new_w), to_int(fit.new_h), to_int(fit.paste_x), to_int(fit.paste_y)};
}

nb::object image_resize(const vx::Args &args) {
    nb::handle image = args[0];
    nb::int_ target_w = args.integer(1);
    nb::int_ target_h = args.integer(2);
    nb::handle bg_color = args[3];

    nb::object new_image = args.global(VX_ID("Image")).attr(VX_ID("new"));
    nb::object canvas = new_image(VX_ID("RGB"), nb::make_tuple(target_w, target_h), bg_color);

    auto [source_w, source_h] = vx::unpack_pair(image.attr(VX_ID("size")));
    Placement placement = place_on_canvas(target_w, target_h, source_w, source_h);

    nb::object resize = image.attr(VX_ID("resize"));
    nb::object lanczos = args.global(VX_ID("Resampling")).attr(VX_ID("LANCZOS"));
    nb::object resized = resize(nb::make_tuple(placement.new_w, placement.new_h), lanczos);

    canvas.attr(VX_ID("paste"))(resized, nb::make_tuple(placement.paste_x, placement.paste_y));
    return canvas;
}

} // namespace

VX_MODULE(resize, module) {
    vx::ModuleContext context{module, kSource};
    // `from PIL import Image` binds the submodule, importing it when needed.
    context.bind("Image", vx::ModuleContext::import_from("PIL", "Image"));
    context.bind("Resampling", vx::ModuleContext::import_from("PIL.Image", "Resampling"));
    context.def({.name = "image_resize",
                 .implementation = image_resize,
                 .params = {{"image", "Image"}, {"target_w", "int"}, {"target_h", "int"}, {"bg_color", nullptr,
                                                                                             nb::make_tuple(0, 0, 0)}},
                 .doc = kImageResizeDoc,
                 .return_annotation = "Image",
                 .source_line = __LINE__});
}
