// Traceback entries of native functions: when an exception leaves one, the
// traceback gains a frame named by the function's dotted path, as if the
// exception had passed through Python code.
#pragma once

#include "module_state.hpp"

namespace vx::detail {

// A traceback entry for the function: a frame of an empty code object whose
// name is the dotted path recorded at creation (not the writable
// `__qualname__`), so a traceback reads like one through Python code. The
// frame never runs, and its locals are an empty read-only mapping, so one
// frame serves every entry. A frame given state through an entry (cleared,
// which gives it a writable locals dict from 3.13, or given a trace
// function) stays with the tracebacks that hold it, and later entries get a
// new one, so that they do not show or keep alive what was put there.
inline bool frame_is_unchanged(PyObject *frame, nb::handle read_only_locals, const Names &names) {
    PyObject *locals = PyFrame_GetLocals(reinterpret_cast<PyFrameObject *>(frame));
    PyObject *trace = locals ? PyObject_GetAttr(frame, names.get<"f_trace">().ptr()) : nullptr;
    bool unchanged = locals == read_only_locals.ptr() && trace == Py_None;
    Py_XDECREF(locals);
    Py_XDECREF(trace);
    if (!trace)
        PyErr_Clear(); // raised by these reads themselves: the frame counts as changed
    return unchanged;
}

inline nb::object traceback_frame(FunctionObject *self) {
    FunctionData &data = *self->data;
    // Letting go of a changed frame may run code that raises here again:
    // the slot is empty meanwhile, and whatever frame it holds afterwards
    // is used.
    if (data.traceback_frame &&
        !frame_is_unchanged(data.traceback_frame.ptr(), data.traceback_locals, data.state->names))
        data.traceback_frame.release().dec_ref();
    if (!data.traceback_code) {
        PyCodeObject *code = PyCode_NewEmpty(PyUnicode_AsUTF8(data.source_file.ptr()),
                                             PyUnicode_AsUTF8(data.dotted_path.ptr()), data.source_line);
        if (!code)
            return {};
        data.traceback_code = nb::steal(reinterpret_cast<PyObject *>(code));
    }
    if (!data.traceback_frame) {
        nb::object no_locals = nb::steal(PyDict_New());
        nb::object read_only = no_locals ? nb::steal(PyDictProxy_New(no_locals.ptr())) : nb::object();
        if (!read_only)
            return {};
        PyFrameObject *frame =
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(data.traceback_code.ptr()), self->globals,
                        read_only.ptr());
        if (!frame)
            return {};
        data.traceback_locals = read_only;
        data.traceback_frame = nb::steal(reinterpret_cast<PyObject *>(frame));
    }
    return data.traceback_frame;
}

// A failure to make the entry only drops it: the exception being raised
// is what the caller must see. The frame is held here, as code run while
// the entry is made may raise here again and replace the shared one.
inline void add_traceback_entry(FunctionObject *self) {
    PyObject *exc = PyErr_GetRaisedException();
    nb::object frame = traceback_frame(self);
    if (!frame)
        PyErr_Clear(); // raised by making the frame: the entry is dropped
    PyErr_SetRaisedException(exc);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.ptr()));
}

} // namespace vx::detail
