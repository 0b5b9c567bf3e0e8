// tools.folders.folders: the class Folder, whose static methods test for, create, count and
// remove folders. Each method is wrapped at import by the decorator that the host
// application's `logger` module makes.
//
// Source lines, as tracebacks report them: the imports on lines 1 to 4, `class Folder:` on 7;
// each method's `@logging(prefix=__name__)` and `def` lines are 10/12 (exists), 22/24
// (create), 36/38 (count) and 74/76 (remove), and its body follows its docstring.
#include "frame/compiler.hpp"
#include "frame/module.hpp"
#include "frame/objects.hpp"
#include "frame/shared/classes.hpp"
#include "frame/traceback.hpp"

namespace {

using frame::Ref;

namespace id {
frame::Id logger{"logger"}, logging{"logging"}, pathlib{"pathlib"}, Path{"Path"};
frame::Id shutil{"shutil"}, os{"os"}, Folder{"Folder"};
frame::Id name{"__name__"}, slots{"__slots__"};
frame::Id exists{"exists"}, is_dir{"is_dir"}, mkdir{"mkdir"}, rmdir{"rmdir"}, rmtree{"rmtree"};
frame::Id walk{"walk"}, listdir{"listdir"}, path{"path"}, isfile{"isfile"}, isdir{"isdir"};
} // namespace id

frame::Builtin staticmethod_builtin{"staticmethod"}, any_builtin{"any"};
frame::Keywords prefix_keyword{"prefix"};
frame::Keywords mkdir_keywords{"parents", "exist_ok"};
frame::Keywords top_keyword{"top"};
frame::Keywords path_keyword{"path"};
frame::Text class_body_name{"tools.folders.folders.Folder"};
frame::Text mask_refusal{"Not yet implemented. Will be in next versions"};

// --- helpers -----------------------------------------------------------------------------

// Path(path), with the module global `Path` as it is bound now.
Ref make_path(const frame::Invocation& call, PyObject* path) noexcept {
    Ref path_class = call.lookup_global(id::Path);
    return path_class ? frame::call_object(path_class, path) : Ref{};
}

// os.<name>, with the module global `os` as it is bound now.
Ref os_function(const frame::Invocation& call, const frame::Id& name) noexcept {
    Ref os = call.lookup_global(id::os);
    return os ? frame::get_attr(os, name) : Ref{};
}

// os.path.<query>(folder / name): a fresh path for every query.
Ref query_entry(const frame::Invocation& call, const frame::Id& query, PyObject* folder,
                PyObject* name) noexcept {
    Ref os_path = os_function(call, id::path);
    Ref function = os_path ? frame::get_attr(os_path, query) : Ref{};
    Ref entry = function ? Ref::steal(PyNumber_TrueDivide(folder, name)) : Ref{};
    return entry ? frame::call_object(function, entry.get()) : Ref{};
}

// `for item in iterable`: the iterator, then each item in turn. An empty item ends the loop,
// with an exception set only when the iteration failed.
Ref iterate(PyObject* iterable) noexcept { return Ref::steal(PyObject_GetIter(iterable)); }
Ref next_item(PyObject* iterator) noexcept { return Ref::steal(PyIter_Next(iterator)); }

// `a, b, c = value`: exactly three items of any iterable, with the interpreter's own messages.
FRAME_NOINLINE bool unpack_three(PyObject* value, Ref (&items)[3]) noexcept {
    Ref iterator = iterate(value);
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter &&
            !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value)->tp_name);
        }
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        items[i] = next_item(iterator);
        if (!items[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)",
                             i);
            }
            return false;
        }
    }
    Ref surplus = next_item(iterator);
    if (surplus) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return false;
    }
    return !PyErr_Occurred();
}

// --- exists ------------------------------------------------------------------------------

PyObject* exists(frame::Invocation& call) noexcept {
    call.at(19);
    Ref path = make_path(call, call[0]);
    if (!path) {
        return nullptr;
    }
    // return path.exists() and path.is_dir()
    call.at(20);
    Ref present = frame::call_method(path, id::exists);
    const int truth = present ? PyObject_IsTrue(present) : -1;
    if (truth <= 0) {
        return truth < 0 ? nullptr : present.release();
    }
    return frame::call_method(path, id::is_dir).release();
}

// --- create ------------------------------------------------------------------------------

PyObject* create(frame::Invocation& call) noexcept {
    PyObject* recursive = call[1] == Py_None ? Py_True : call[1];
    call.at(33);
    Ref path = make_path(call, call[0]);
    if (!path) {
        return nullptr;
    }
    call.at(34);
    Ref mkdir = frame::get_attr(path, id::mkdir);
    Ref made = mkdir ? frame::call_with_keywords(mkdir, mkdir_keywords, recursive, Py_True) : Ref{};
    if (!made) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- count -------------------------------------------------------------------------------

// os.listdir(path=path), the very call of listing mode; false with its error.
bool list_folder(const frame::Invocation& call, PyObject* path, Ref& names) noexcept {
    Ref listdir = os_function(call, id::listdir);
    names = listdir ? frame::call_with_keywords(listdir, path_keyword, path) : Ref{};
    return bool(names);
}

// A walk yields the top folder first whenever it can list it, so a walk that yielded nothing
// could not: the top is missing, a file, or unreadable, and the walk swallowed the error.
// Listing the top raises what listing mode raises for it, instead of a count of 0. (Should the
// top have become readable meanwhile, the walk's answer stands.)
FRAME_COLD FRAME_NOINLINE bool top_was_listed(const frame::Invocation& call,
                                              PyObject* path) noexcept {
    Ref names;
    return list_folder(call, path, names);
}

// Whole-tree mode: every entry below `path`, at every depth, from the lengths of the name
// lists that os.walk(top=path) yields. The loop binds the method's own `folders` and `files`
// to those lists, so the caller's choice of kinds plays no part here.
bool count_tree(frame::Invocation& call, PyObject* path, Py_ssize_t& found) noexcept {
    call.at(62);
    Ref walk = os_function(call, id::walk);
    Ref steps = walk ? frame::call_with_keywords(walk, top_keyword, path) : Ref{};
    Ref iterator = steps ? iterate(steps) : Ref{};
    if (!iterator) {
        return false;
    }
    // The name lists of one step: files first, then folders, each tested, then measured.
    struct NameList {
        int item, test_line, add_line;
    };
    static constexpr NameList name_lists[] = {{2, 63, 64}, {1, 65, 66}};
    for (bool first = true;; first = false) {
        call.at(62);
        Ref step = next_item(iterator);
        if (!step && first && !PyErr_Occurred()) {
            return top_was_listed(call, path);
        }
        Ref parts[3]; // paths, folders, files
        if (!step || !unpack_three(step, parts)) {
            return !PyErr_Occurred();
        }
        for (const NameList& list : name_lists) {
            call.at(list.test_line);
            const int non_empty = PyObject_IsTrue(parts[list.item]);
            if (non_empty <= 0) {
                if (non_empty < 0) {
                    return false;
                }
                continue;
            }
            call.at(list.add_line);
            const Py_ssize_t length = PyObject_Length(parts[list.item]);
            if (length < 0) {
                return false;
            }
            found += length;
        }
    }
}

// Listing mode: the entries directly in `path` that are files (when `files`) or folders (when
// `folders`). Both answers are had before `any` weighs them, so no query is skipped.
bool count_listing(frame::Invocation& call, PyObject* path, bool files, bool folders,
                   Py_ssize_t& found) noexcept {
    call.at(68);
    Ref names;
    Ref iterator = list_folder(call, path, names) ? iterate(names) : Ref{};
    if (!iterator) {
        return false;
    }
    while (true) {
        call.at(68);
        Ref file_or_folder = next_item(iterator);
        if (!file_or_folder) {
            return !PyErr_Occurred();
        }
        call.at(69);
        Ref is_file =
            files ? query_entry(call, id::isfile, path, file_or_folder) : Ref::borrow(Py_False);
        if (!is_file) {
            return false;
        }
        call.at(70);
        Ref is_folder =
            folders ? query_entry(call, id::isdir, path, file_or_folder) : Ref::borrow(Py_False);
        if (!is_folder) {
            return false;
        }
        call.at(69);
        Ref answers = Ref::steal(PyTuple_Pack(2, is_file.get(), is_folder.get()));
        Ref either = answers ? frame::call_object(any_builtin, answers.get()) : Ref{};
        const int counted = either ? PyObject_IsTrue(either) : -1;
        if (counted < 0) {
            return false;
        }
        if (counted) {
            ++found;
        }
    }
}

PyObject* count(frame::Invocation& call) noexcept {
    // Binding has reduced the truth values to True, False or None; None stands for the default.
    const bool files = call[1] != Py_False;
    const bool folders = call[2] == Py_True;
    PyObject* mask = call[3];
    const bool recursive = call[4] == Py_True;

    // Any other mask is refused before the path is looked at.
    call.at(57);
    if (mask != Py_None && !PyUnicode_EqualToUTF8(mask, "*")) {
        call.at(58);
        PyErr_SetObject(PyExc_NotImplementedError, mask_refusal);
        return nullptr;
    }
    call.at(59);
    Ref path = make_path(call, call[0]);
    if (!path) {
        return nullptr;
    }
    Py_ssize_t found = 0;
    const bool counted = recursive ? count_tree(call, path, found)
                                   : count_listing(call, path, files, folders, found);
    return counted ? PyLong_FromSsize_t(found) : nullptr;
}

// --- remove ------------------------------------------------------------------------------

// An empty path would become Path("."), the current folder: refused before anything is
// touched, since removing it (with all it holds, when recursive) is never what was meant.
FRAME_COLD FRAME_NOINLINE PyObject* refuse_empty_path() noexcept {
    PyErr_SetString(PyExc_ValueError, "path must not be empty");
    return nullptr;
}

bool is_empty_text(PyObject* path) noexcept {
    return (PyUnicode_Check(path) && PyUnicode_GET_LENGTH(path) == 0) ||
           (PyBytes_Check(path) && PyBytes_GET_SIZE(path) == 0);
}

PyObject* remove(frame::Invocation& call) noexcept {
    const bool recursive = call[1] == Py_True;
    call.at(86);
    if (is_empty_text(call[0])) {
        return refuse_empty_path();
    }
    Ref path = make_path(call, call[0]);
    if (!path) {
        return nullptr;
    }
    Ref removed;
    if (recursive) {
        call.at(88);
        Ref shutil = call.lookup_global(id::shutil);
        Ref rmtree = shutil ? frame::get_attr(shutil, id::rmtree) : Ref{};
        removed = rmtree ? frame::call_object(rmtree, path.get()) : Ref{};
    } else {
        call.at(90);
        removed = frame::call_method(path, id::rmdir);
    }
    if (!removed) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// --- the class ---------------------------------------------------------------------------

using frame::Check;

constexpr frame::Param path_param{.name = "path", .annotation = "Path | str"};

constexpr frame::Param exists_params[] = {path_param};
constexpr frame::Param create_params[] = {
    path_param,
    {.name = "recursive", .annotation = "bool", .fallback = frame::true_, .check = Check::truth},
};
constexpr frame::Param count_params[] = {
    path_param,
    {.name = "files", .annotation = "bool", .fallback = frame::true_, .check = Check::truth},
    {.name = "folders", .annotation = "bool", .fallback = frame::false_, .check = Check::truth},
    {.name = "mask",
     .annotation = "str",
     .fallback = frame::text("*"),
     .check = Check::str_or_none},
    {.name = "recursive", .annotation = "bool", .fallback = frame::false_, .check = Check::truth},
};
constexpr const char* count_locals[] = {"found", "paths", "file_or_folder"};
constexpr frame::Param remove_params[] = {
    path_param,
    {.name = "recursive", .annotation = "bool", .fallback = frame::false_, .check = Check::truth},
};

frame::Function exists_function{{
    .name = "exists",
    .qualname = "Folder.exists",
    .params = exists_params,
    .returns = "bool",
    .doc = "\n            Check if folder exists.\n\n"
           "            :param path: 'path/to/folder'\n"
           "            :return: True / False\n            ",
    .line = 12,
    .body = exists,
}};

frame::Function create_function{{
    .name = "create",
    .qualname = "Folder.create",
    .params = create_params,
    .doc = "\n            Create folder.\n\n"
           "            :param path: 'path/to/folder'\n"
           "            :param recursive: True / False\n            ",
    .line = 24,
    .body = create,
}};

frame::Function count_function{{
    .name = "count",
    .qualname = "Folder.count",
    .params = count_params,
    .returns = "int",
    .doc = "\n            Count files and/or folders.\n\n"
           "            :param path: 'path/to/folder'\n"
           "            :param files: True / False\n"
           "            :param folders: True / False\n"
           "            :param mask: '*' / 'file-name-mask'\n"
           "            :param recursive: True / False\n"
           "            :return: number of found files and/or folders\n            ",
    .locals = count_locals,
    .line = 38,
    .body = count,
}};

frame::Function remove_function{{
    .name = "remove",
    .qualname = "Folder.remove",
    .params = remove_params,
    .doc = "\n            Remove folder.\n\n"
           "            :param path: 'path/to/folder'\n"
           "            :param recursive: True / False\n"
           "            :return:\n            ",
    .line = 76,
    .body = remove,
}};

// The methods in class-body order, with the line of each one's `@logging(...)`.
struct Method {
    const frame::Function& function;
    int decorator_line;
};
const Method methods[] = {
    {exists_function, 10},
    {create_function, 22},
    {count_function, 36},
    {remove_function, 74},
};

// `@logging(prefix=__name__) @staticmethod def ...`: the factory is called first, then the
// function is made and wrapped, and last the decorator is given the static method.
Ref decorated_method(const frame::Function& function) noexcept {
    Ref factory = frame::lookup_module_global(id::logging);
    Ref prefix = factory ? frame::lookup_module_global(id::name) : Ref{};
    Ref decorator =
        prefix ? frame::call_with_keywords(factory, prefix_keyword, prefix.get()) : Ref{};
    Ref native = decorator ? frame::make_function(function) : Ref{};
    Ref method = native ? frame::call_object(staticmethod_builtin, native.get()) : Ref{};
    return method ? frame::call_object(decorator, method.get()) : Ref{};
}

// class Folder: a namespace of static methods, built with `type` and bound only once whole.
bool define_folder_class() noexcept {
    Ref namespace_ = frame::class_namespace(id::Folder);
    if (!namespace_ || PyDict_SetItem(namespace_, id::slots, frame::empty_tuple()) < 0) {
        return false;
    }
    for (const Method& method : methods) {
        Ref entry = decorated_method(method.function);
        if (!entry) {
            // The class body's own entry, as the interpreter would show it.
            frame::add_body_traceback_entry(class_body_name, method.decorator_line);
            return false;
        }
        if (PyDict_SetItem(namespace_, method.function.name(), entry) < 0) {
            return false;
        }
    }
    Ref cls = frame::make_class(id::Folder, namespace_);
    return cls && frame::set_global(id::Folder, cls);
}

constexpr frame::Statement module_body[] = {
    {1, []() noexcept { return frame::import_from(id::logger, id::logging); }},
    {2, []() noexcept { return frame::import_from(id::pathlib, id::Path); }},
    {3, []() noexcept { return frame::import_module(id::shutil); }},
    {4, []() noexcept { return frame::import_module(id::os); }},
    {7, []() noexcept { return define_folder_class(); }},
};

constexpr frame::Module folders_module{
    .short_name = "folders",
    .dotted_name = "tools.folders.folders",
    .source_path = "src/tools/folders/folders.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_folders() { return frame::initialize(folders_module); }
