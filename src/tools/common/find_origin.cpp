// tools.common.find_origin: the folder of a file, or of the source of a function, class or
// module.
#include "frame/binding.hpp"
#include "frame/compiler.hpp"
#include "frame/module.hpp"
#include "frame/objects.hpp"
#include "frame/recursion.hpp"

namespace {

using frame::Ref;

namespace id {
frame::Id pathlib{"pathlib"}, inspect{"inspect"}, typing{"typing"};
frame::Id Path{"Path"}, getfile{"getfile"}, Callable{"Callable"}, Type{"Type"};
frame::Id parent{"parent"}, absolute{"absolute"};
} // namespace id

// return Path(file).parent
FRAME_NOINLINE PyObject* folder_of_file(frame::Invocation& call, PyObject* file) noexcept {
    const frame::RecursionGuard guard{call.thread()}; // what is bound to `Path` may call back
    if (!guard.entered()) {
        return nullptr;
    }
    call.at(35);
    Ref path_class = call.lookup_global(id::Path);
    Ref path = path_class ? frame::call_object(path_class, file) : Ref{};
    return path ? frame::get_attr(path, id::parent).release() : nullptr;
}

// return Path(getfile(func)).absolute().parent: `Path` is looked up before `getfile` is, and
// before the call that could rebind it.
FRAME_NOINLINE PyObject* folder_of_source(frame::Invocation& call, PyObject* func) noexcept {
    const frame::RecursionGuard guard{call.thread()};
    if (!guard.entered()) {
        return nullptr;
    }
    call.at(39);
    Ref path_class = call.lookup_global(id::Path);
    Ref getfile = path_class ? call.lookup_global(id::getfile) : Ref{};
    Ref file = getfile ? frame::call_object(getfile, func) : Ref{};
    Ref path = file ? frame::call_object(path_class, file.get()) : Ref{};
    Ref absolute = path ? frame::call_method(path, id::absolute) : Ref{};
    return absolute ? frame::get_attr(absolute, id::parent).release() : nullptr;
}

// The common call passes neither and returns at once: it calls nothing, so it runs outside the
// recursion guard, which the other two branches enter. They are calls of their own, so this
// stays a leaf.
PyObject* find_origin(frame::Invocation& call) noexcept {
    PyObject* file = call[0];
    PyObject* func = call[1];
    if (file != Py_None) {
        return folder_of_file(call, file);
    }
    if (func != Py_None) {
        return folder_of_source(call, func);
    }
    Py_RETURN_NONE;
}

constexpr frame::Param find_origin_params[] = {
    {.name = "file", .annotation = "Path | str", .fallback = frame::none},
    {.name = "func", .annotation = "Callable | Type", .fallback = frame::none},
};
constexpr const char* find_origin_locals[] = {"path"};

frame::Function find_origin_function{{
    .name = "find_origin",
    .qualname = "find_origin",
    .params = find_origin_params,
    .returns = "Path | None",
    .doc = "\n        Find origin of given file/function.\n\n"
           "        :param file: file object (__file__)\n"
           "        :param func: function object (lambda _: 0)\n"
           "        :return: 'location/if-can-be-found'\n        ",
    .locals = find_origin_locals,
    .line = 19,
    .body = find_origin,
    .guards_itself = true,
}};

constexpr frame::Statement module_body[] = {
    {14, []() noexcept { return frame::import_from(id::pathlib, id::Path); }},
    {15, []() noexcept { return frame::import_from(id::inspect, id::getfile); }},
    {16, []() noexcept { return frame::import_from(id::typing, id::Callable, id::Type); }},
    {19, []() noexcept { return frame::define(find_origin_function); }},
};

constexpr frame::Module find_origin_module{
    .short_name = "find_origin",
    .dotted_name = "tools.common.find_origin",
    .source_path = "src/tools/common/find_origin.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_find_origin() { return frame::initialize(find_origin_module); }
