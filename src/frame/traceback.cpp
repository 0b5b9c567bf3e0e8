#include "frame/traceback.hpp"

#include "frame/constants.hpp"
#include "frame/context.hpp"
#include "frame/internals.hpp"

#include <algorithm>
#include <type_traits>

namespace frame {
namespace {

// What an entry's code object shows, and the line of the entry. For a function's own entry
// the qualified name is its name and the code starts at the entry's line.
struct EntryCode {
    PyObject* name;
    PyObject* qualname; // with `line`, the cache key: each is made once and never freed
    int first_line;
    int line;
};

// One code object per (line, qualified name) that has produced an entry, kept sorted so a
// lookup is a binary search. Entries live as long as the process.
struct CachedCode {
    int line;
    PyObject* name;
    PyCodeObject* code;
};
static_assert(std::is_trivially_copyable_v<CachedCode>, "the cache grows by reallocation");

constexpr std::size_t cache_step = 64;

// The array comes from the raw allocator: the cache outlives the interpreter (it is dropped
// by the hook that runs after finalization, when the object and memory domains are gone) and
// the raw domain is valid at any time.
struct {
    CachedCode* entries = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
} cache;

bool before(const CachedCode& entry, int line, PyObject* name) noexcept {
    return entry.line < line || (entry.line == line && entry.name < name);
}

// Where (line, name) is or would go.
std::size_t position(int line, PyObject* name) noexcept {
    CachedCode* begin = cache.entries;
    CachedCode* end = begin + cache.size;
    CachedCode* found = std::lower_bound(
        begin, end, 0, [&](const CachedCode& entry, int) { return before(entry, line, name); });
    return std::size_t(found - begin);
}

bool grow_cache() noexcept {
    const std::size_t capacity = cache.capacity + cache_step;
    void* entries = PyMem_RawRealloc(cache.entries, capacity * sizeof(CachedCode));
    if (!entries) {
        PyErr_NoMemory();
        return false;
    }
    cache.entries = static_cast<CachedCode*>(entries);
    cache.capacity = capacity;
    return true;
}

// The line table of an empty code object whose one location entry lies `delta` lines after
// its first line: the entry's `header` byte (which gives its length in code units and its
// form, lines without columns), then the delta as a signed varint (twice the delta, for a
// delta of 0 or more, in 6-bit groups with the low group first).
Ref line_table(unsigned char header, int delta) noexcept {
    unsigned char table[8] = {header};
    std::size_t size = 1;
    for (unsigned int value = unsigned(delta) << 1; size < sizeof table; value >>= 6) {
        if (value < 64) {
            table[size++] = static_cast<unsigned char>(value);
            break;
        }
        table[size++] = static_cast<unsigned char>(64 | (value & 63));
    }
    return Ref::steal(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(table), Py_ssize_t(size)));
}

// An empty code object as `entry` describes it: PyCode_NewEmpty's, with the qualified name and
// the line of a nested block put in through code.replace().
Ref make_code(const EntryCode& entry) noexcept {
    const char* name_text = PyUnicode_AsUTF8(entry.name);
    Ref code = name_text ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
                               module_context().source_path, name_text, entry.first_line)))
                         : Ref{};
    if (!code || (entry.qualname == entry.name && entry.first_line == entry.line)) {
        return code;
    }
    const int delta = entry.line - entry.first_line;
    Ref table = Ref::steal(PyObject_GetAttrString(code, "co_linetable"));
    if (!table) {
        return {};
    }
    if (delta < 0 || !PyBytes_Check(table.get()) || PyBytes_GET_SIZE(table.get()) != 2) {
        PyErr_SetString(PyExc_SystemError, "no line table for a nested traceback entry");
        return {};
    }
    Ref keywords = Ref::steal(PyDict_New());
    Ref new_table =
        line_table(static_cast<unsigned char>(PyBytes_AS_STRING(table.get())[0]), delta);
    Ref replace = Ref::steal(PyObject_GetAttrString(code, "replace"));
    if (!keywords || !new_table || !replace ||
        PyDict_SetItemString(keywords, "co_qualname", entry.qualname) < 0 ||
        PyDict_SetItemString(keywords, "co_linetable", new_table) < 0) {
        return {};
    }
    return Ref::steal(PyObject_Call(replace, empty_tuple(), keywords));
}

// The code object for `entry`; borrowed from the cache.
PyCodeObject* code_for(const EntryCode& entry) noexcept {
    const int line = entry.line;
    PyObject* key = entry.qualname;
    const std::size_t at = position(line, key);
    if (at < cache.size && cache.entries[at].line == line && cache.entries[at].name == key) {
        return cache.entries[at].code;
    }
    Ref code = make_code(entry);
    if (!code || (cache.size == cache.capacity && !grow_cache())) {
        return nullptr;
    }
    std::copy_backward(&cache.entries[at], &cache.entries[cache.size],
                       &cache.entries[cache.size + 1]);
    cache.entries[at] = {line, Py_NewRef(key), reinterpret_cast<PyCodeObject*>(code.release())};
    ++cache.size;
    return cache.entries[at].code;
}

// Raises the error that making an entry raised, with `error` (the exception that was in
// flight) as its context, as the interpreter does when it cannot add an entry: the original
// stays reachable. A context chain that already leads to the new error is cut there first,
// so that no cycle forms (the interpreter may hand out one MemoryError instance again).
void raise_chained_to(Ref error) noexcept {
    Ref failure = Ref::steal(PyErr_GetRaisedException());
    if (!failure || failure.get() == error.get()) {
        PyErr_SetRaisedException(failure ? failure.release() : error.release());
        return;
    }
    // Every exception on the chain is kept alive by the one before it, so the walk borrows.
    // A chain that loops already (the slow pointer, at half speed, is met) ends the walk.
    PyObject* link = error;
    PyObject* slow = error;
    for (bool move_slow = false;; move_slow = !move_slow) {
        PyObject* context = Ref::steal(PyException_GetContext(link)).get();
        if (context == failure.get()) {
            PyException_SetContext(link, nullptr);
            break;
        }
        if (!context || context == slow) {
            break;
        }
        link = context;
        if (move_slow) {
            slow = Ref::steal(PyException_GetContext(slow)).get();
        }
    }
    PyException_SetContext(failure, error.release());
    PyErr_SetRaisedException(failure.release());
}

void add_entry(const EntryCode& entry, PyObject* globals) noexcept {
    // The exception in flight is set aside while the frame is made, so that making it
    // cannot disturb it.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (!error || !globals) {
        // Nothing in flight to add an entry to; or a function whose references were cleared
        // by the garbage collector, which has no namespace left for a frame.
        PyErr_SetRaisedException(error.release());
        return;
    }
    PyCodeObject* code = code_for(entry);
    Ref frame = code ? internals::new_frame(code, globals) : Ref{};
    if (!frame) {
        raise_chained_to(std::move(error));
        return;
    }
    PyErr_SetRaisedException(error.release());
    // On failure this too raises MemoryError with the exception in flight as its context.
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

} // namespace

void add_traceback_entry(PyObject* function_name, int line, PyObject* globals) noexcept {
    add_entry({function_name, function_name, line, line}, globals);
}

void add_nested_traceback_entry(PyObject* name, PyObject* qualname, int first_line, int line,
                                PyObject* globals) noexcept {
    add_entry({name, qualname, first_line, line}, globals);
}

void forget_traceback_code() noexcept {
    // The array is ours to free; the code objects in it belonged to the interpreter.
    PyMem_RawFree(cache.entries);
    cache.entries = nullptr;
    cache.size = cache.capacity = 0;
}

} // namespace frame
