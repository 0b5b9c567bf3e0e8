// tools._testing.frame_fragile: a test-only module whose body can be made to fail. Its first
// statement imports `setting` from `fragile_support`, a module that the tests provide, take
// away, or make faulty, to drive the module's life cycle through failed and later imports.
#include "frame/module.hpp"
#include "frame/objects.hpp"

namespace {

namespace id {
frame::Id fragile_support{"fragile_support"}, setting{"setting"}, hook{"hook"};
} // namespace id

// A body statement that calls fragile_support.hook(), if the support module has one; the
// tests use it to count how often the body runs and to make a later statement fail.
bool call_hook() noexcept {
    frame::Ref support = frame::Ref::steal(PyImport_ImportModule("fragile_support"));
    if (!support) {
        return false;
    }
    PyObject* hook = nullptr;
    const int found = PyObject_GetOptionalAttr(support, id::hook, &hook);
    frame::Ref owned = frame::Ref::steal(hook);
    return found == 0 || (found > 0 && frame::call_object(hook));
}

PyObject* read_setting(frame::Invocation& call) noexcept {
    return call.lookup_global(id::setting).release();
}

frame::Function read_setting_function{
    {.name = "read_setting", .qualname = "read_setting", .line = 12, .body = read_setting}};

constexpr frame::Statement module_body[] = {
    {10, []() noexcept { return frame::import_from(id::fragile_support, id::setting); }},
    {12, []() noexcept { return frame::define(read_setting_function); }},
    {14, []() noexcept { return call_hook(); }},
};

constexpr frame::Module fragile_module{
    .short_name = "frame_fragile",
    .dotted_name = "tools._testing.frame_fragile",
    .source_path = "tests/native/frame_fragile.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_frame_fragile() { return frame::initialize(fragile_module); }
