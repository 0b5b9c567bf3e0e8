#include "frame/traceback.hpp"

#include "frame/context.hpp"

#include <frameobject.h> // PyFrame_New

#include <algorithm>
#include <memory>

namespace frame {
namespace {

// One code object per (line, function name) that has produced an entry, kept sorted so a
// lookup is a binary search. Entries live as long as the process.
struct CachedCode {
    int line;
    PyObject* name;
    PyCodeObject* code;
};

constexpr std::size_t cache_step = 64;

struct {
    std::unique_ptr<CachedCode[]> entries;
    std::size_t size = 0;
    std::size_t capacity = 0;
} cache;

bool before(const CachedCode& entry, int line, PyObject* name) noexcept {
    return entry.line < line || (entry.line == line && entry.name < name);
}

// Where (line, name) is or would go.
std::size_t position(int line, PyObject* name) noexcept {
    CachedCode* begin = cache.entries.get();
    CachedCode* end = begin + cache.size;
    CachedCode* found = std::lower_bound(
        begin, end, 0, [&](const CachedCode& entry, int) { return before(entry, line, name); });
    return std::size_t(found - begin);
}

bool grow_cache() noexcept {
    const std::size_t capacity = cache.capacity + cache_step;
    std::unique_ptr<CachedCode[]> entries{new (std::nothrow) CachedCode[capacity]};
    if (!entries) {
        PyErr_NoMemory();
        return false;
    }
    std::copy_n(cache.entries.get(), cache.size, entries.get());
    cache.entries = std::move(entries);
    cache.capacity = capacity;
    return true;
}

// The code object for entries at `line` named `name`; borrowed from the cache.
PyCodeObject* code_for(int line, PyObject* name) noexcept {
    const std::size_t at = position(line, name);
    if (at < cache.size && cache.entries[at].line == line && cache.entries[at].name == name) {
        return cache.entries[at].code;
    }
    const char* name_text = PyUnicode_AsUTF8(name);
    if (!name_text) {
        return nullptr;
    }
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(module_context().source_path, name_text, line)));
    if (!code || (cache.size == cache.capacity && !grow_cache())) {
        return nullptr;
    }
    std::copy_backward(&cache.entries[at], &cache.entries[cache.size],
                       &cache.entries[cache.size + 1]);
    cache.entries[at] = {line, Py_NewRef(name), reinterpret_cast<PyCodeObject*>(code.release())};
    ++cache.size;
    return cache.entries[at].code;
}

} // namespace

void forget_traceback_code() noexcept {
    // The array is ours to free; the code objects in it belonged to the interpreter.
    cache.entries.reset();
    cache.size = cache.capacity = 0;
}

void add_traceback_entry(PyObject* function_name, int line, PyObject* globals) noexcept {
    // The exception in flight is set aside while the frame is made, so that making it
    // cannot disturb it; a failure here only costs the entry.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error || !globals) {
        // Nothing in flight to add an entry to; or a function whose references were cleared
        // by the garbage collector, which has no namespace left for a frame.
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyCodeObject* code = code_for(line, function_name);
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(
                           PyFrame_New(PyThreadState_Get(), code, globals, nullptr)))
                     : Ref{};
    PyErr_Clear();
    PyErr_SetRaisedException(error.release());
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

} // namespace frame
