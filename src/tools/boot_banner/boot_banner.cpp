// tools.boot_banner.boot_banner: a short banner about the running process, printed to standard
// output once per environment key.
//
// The statements below carry the lines of this layout of the module's source:
//
//    1  import os
//    2  from datetime import datetime
//    3  from getpass import getuser
//    4  from socket import getfqdn
//    5  from platform import platform, python_implementation
//    6  from sys import version
//    9  def boot_banner(prefix: str = "app", name: str = "main", separator: str = ":"):
//   10-17   docstring
//   18-23   None arguments take their defaults
//   24      var_name = f"{prefix}{separator}{name}"
//   25-26   if os.environ.get(var_name) == "true": return
//   27      os.environ[var_name] = "true"
//   28      info = []
//   29      execution_date = datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
//   30-31   the rule over the date, then the date
//   32-36   try: user = getuser()  except Exception as exc: user = exc;  "User: " line
//   37-41   host = getfqdn();                       "Host: " line
//   42-46   os_platform = platform(aliased=True);   "OS Platform: " line
//   47-51   py_version = version;                   "Python Version: " line
//   52-57   py_implementation = python_implementation(); py_implementation_ = "Implementation: ..."
//   58      info.append("-" * len(py_implementation_))
//   59      print("\n".join(info))
#include "frame/compiler.hpp"
#include "frame/module.hpp"
#include "frame/objects.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace {

using frame::Ref;

namespace id {
frame::Id os{"os"}, datetime{"datetime"}, getpass{"getpass"}, getuser{"getuser"};
frame::Id socket{"socket"}, getfqdn{"getfqdn"}, platform{"platform"};
frame::Id python_implementation{"python_implementation"}, sys{"sys"}, version{"version"};
frame::Id environ{"environ"}, get{"get"}, now{"now"}, strftime{"strftime"};
} // namespace id

frame::Text marker{"true"};
frame::Text default_key{"app:main"};
frame::Text date_format{"%Y-%m-%d %H:%M:%S.%f"};
frame::Text line_separator{"\n"};
frame::Keywords aliased_keyword{"aliased"};
frame::Builtin print_builtin{"print"};

namespace label {
frame::Text user{"User: "}, host{"Host: "}, os_platform{"OS Platform: "};
frame::Text py_version{"Python Version: "}, py_implementation{"Implementation: "};
} // namespace label

// --- texts -------------------------------------------------------------------------------

// "-" * len(text)
Ref rule_as_long_as(PyObject* text) noexcept {
    const Py_ssize_t length = PyObject_Size(text);
    if (length < 0) {
        return {};
    }
    Ref rule = Ref::steal(PyUnicode_New(length, 127));
    if (rule) {
        std::memset(PyUnicode_1BYTE_DATA(rule.get()), '-', std::size_t(length));
    }
    return rule;
}

// f"{label}{value}": the value converted as an f-string replacement field converts it.
Ref labelled(PyObject* label, PyObject* value) noexcept {
    Ref text = Ref::steal(PyObject_Format(value, nullptr));
    return text ? frame::concat({label, text.get()}) : Ref{};
}

bool append(PyObject* lines, const Ref& line) noexcept {
    return line && PyList_Append(lines, line) == 0;
}

// --- the marker --------------------------------------------------------------------------

// os.environ, with `os` read from the module namespace at each use.
Ref environment(const frame::Invocation& call) noexcept {
    Ref os = call.lookup_global(id::os);
    return os ? frame::get_attr(os, id::environ) : Ref{};
}

// os.environ.get(var_name) == "true": 1 when the banner was printed already for this key,
// 0 when not, -1 with an exception set.
int marker_is_set(const frame::Invocation& call, PyObject* var_name) noexcept {
    Ref environ = environment(call);
    Ref value = environ ? frame::call_method(environ, id::get, var_name) : Ref{};
    if (!value) {
        return -1;
    }
    Ref equal = Ref::steal(PyObject_RichCompare(value, marker, Py_EQ));
    return equal ? PyObject_IsTrue(equal) : -1;
}

// os.environ[var_name] = "true", which also sets the variable in the process environment.
bool set_marker(const frame::Invocation& call, PyObject* var_name) noexcept {
    Ref environ = environment(call);
    return environ && PyObject_SetItem(environ, var_name, marker) == 0;
}

// --- the facts ---------------------------------------------------------------------------

// How a fact comes from the module-level name it is gathered from.
enum class Source : std::uint8_t {
    called,         // name()
    called_aliased, // name(aliased=True)
    read,           // name, as it is
};

struct Fact {
    const frame::Id& name;
    Source source;
    const frame::Text& label;
    int gather_line; // the statement that evaluates the source
    int text_line;   // the statement that makes the labelled line
};

const Fact facts[] = {
    {id::getuser, Source::called, label::user, 33, 36},
    {id::getfqdn, Source::called, label::host, 38, 41},
    {id::platform, Source::called_aliased, label::os_platform, 43, 46},
    {id::version, Source::read, label::py_version, 48, 51},
    {id::python_implementation, Source::called, label::py_implementation, 53, 56},
};

Ref evaluate(const frame::Invocation& call, const Fact& fact) noexcept {
    Ref source = call.lookup_global(fact.name);
    if (!source) {
        return {};
    }
    switch (fact.source) {
    case Source::called:
        return frame::call_object(source);
    case Source::called_aliased:
        return frame::call_with_keywords(source, aliased_keyword, Py_True);
    case Source::read:
        break;
    }
    return source;
}

// The fact's value; an Exception on the way (a removed name included) stands in for it.
// Exceptions that are not an Exception (KeyboardInterrupt, SystemExit) stay set: empty Ref.
Ref gather(const frame::Invocation& call, const Fact& fact) noexcept {
    Ref value = evaluate(call, fact);
    if (!value && frame::error_matches(PyExc_Exception)) {
        value = Ref::steal(PyErr_GetRaisedException());
    }
    return value;
}

// datetime.now().strftime("%Y-%m-%d %H:%M:%S.%f")
Ref formatted_now(const frame::Invocation& call) noexcept {
    Ref datetime = call.lookup_global(id::datetime);
    Ref now = datetime ? frame::call_method(datetime, id::now) : Ref{};
    return now ? frame::call_method(now, id::strftime, date_format.get()) : Ref{};
}

// --- the function ------------------------------------------------------------------------

PyObject* boot_banner(frame::Invocation& call) noexcept;

constexpr frame::Param boot_banner_params[] = {
    {.name = "prefix",
     .annotation = "str",
     .fallback = frame::text("app"),
     .check = frame::Check::str_or_none},
    {.name = "name",
     .annotation = "str",
     .fallback = frame::text("main"),
     .check = frame::Check::str_or_none},
    {.name = "separator",
     .annotation = "str",
     .fallback = frame::text(":"),
     .check = frame::Check::str_or_none},
};
constexpr const char* boot_banner_locals[] = {
    "var_name",
    "info",
    "execution_date",
    "user",
    "exc",
    "host",
    "os_platform",
    "py_version",
    "py_implementation",
    "py_implementation_",
};

frame::Function boot_banner_function{{
    .name = "boot_banner",
    .qualname = "boot_banner",
    .params = boot_banner_params,
    .doc = "\n        Log Boot Banner.\n\n"
           "        :param prefix: 'app-name'\n"
           "        :param name: 'var-name'\n"
           "        :param separator: 'separator'\n"
           "        :return:\n        ",
    .locals = boot_banner_locals,
    .line = 9,
    .body = boot_banner,
}};

// The bound argument `i`, or its default when it is None.
PyObject* or_default(const frame::Invocation& call, std::size_t i) noexcept {
    return call[i] == Py_None ? PyTuple_GET_ITEM(boot_banner_function.defaults(), Py_ssize_t(i))
                              : call[i];
}

// f"{prefix}{separator}{name}". The key of the default arguments is made once: most
// applications call with no arguments, and that call should not build the same text anew.
Ref key_of(PyObject* prefix, PyObject* name, PyObject* separator) noexcept {
    PyObject* defaults = boot_banner_function.defaults();
    if (prefix == PyTuple_GET_ITEM(defaults, 0) && name == PyTuple_GET_ITEM(defaults, 1) &&
        separator == PyTuple_GET_ITEM(defaults, 2)) {
        return Ref::borrow(default_key);
    }
    return frame::concat({prefix, separator, name});
}

// Everything after the marker is set: gathers the eight lines and prints them. Kept out of
// line, so that the calls that find the marker stay short.
FRAME_COLD FRAME_NOINLINE PyObject* print_banner(frame::Invocation& call) noexcept {
    call.at(28);
    Ref info = Ref::steal(PyList_New(0));
    if (!info) {
        return nullptr;
    }
    call.at(29);
    Ref execution_date = formatted_now(call);
    if (!execution_date) {
        return nullptr;
    }
    call.at(30);
    if (!append(info, rule_as_long_as(execution_date))) {
        return nullptr;
    }
    call.at(31);
    if (!append(info, Ref::steal(PyObject_Format(execution_date, nullptr)))) {
        return nullptr;
    }
    Ref line; // the last fact's line is py_implementation_, which the closing rule measures
    for (const Fact& fact : facts) {
        call.at(fact.gather_line);
        Ref value = gather(call, fact);
        if (!value) {
            return nullptr;
        }
        call.at(fact.text_line);
        line = labelled(fact.label, value);
        if (!append(info, line)) {
            return nullptr;
        }
    }
    call.at(58);
    if (!append(info, rule_as_long_as(line))) {
        return nullptr;
    }
    call.at(59);
    Ref banner = Ref::steal(PyUnicode_Join(line_separator, info));
    Ref printed = banner ? frame::call_object(print_builtin, banner.get()) : Ref{};
    return printed ? Py_None : nullptr;
}

PyObject* boot_banner(frame::Invocation& call) noexcept {
    PyObject* prefix = or_default(call, 0);
    PyObject* name = or_default(call, 1);
    PyObject* separator = or_default(call, 2);
    call.at(24);
    Ref var_name = key_of(prefix, name, separator);
    if (!var_name) {
        return nullptr;
    }
    call.at(25);
    const int printed = marker_is_set(call, var_name);
    if (printed != 0) {
        return printed > 0 ? Py_None : nullptr;
    }
    call.at(27);
    if (!set_marker(call, var_name)) {
        return nullptr;
    }
    return print_banner(call);
}

constexpr frame::Statement module_body[] = {
    {1, []() noexcept { return frame::import_module(id::os); }},
    {2, []() noexcept { return frame::import_from(id::datetime, id::datetime); }},
    {3, []() noexcept { return frame::import_from(id::getpass, id::getuser); }},
    {4, []() noexcept { return frame::import_from(id::socket, id::getfqdn); }},
    {5,
     []() noexcept {
         return frame::import_from(id::platform, id::platform, id::python_implementation);
     }},
    {6, []() noexcept { return frame::import_from(id::sys, id::version); }},
    {9, []() noexcept { return frame::define(boot_banner_function); }},
};

constexpr frame::Module boot_banner_module{
    .short_name = "boot_banner",
    .dotted_name = "tools.boot_banner.boot_banner",
    .source_path = "src/tools/boot_banner/boot_banner.py",
    .body = module_body,
};

} // namespace

PyMODINIT_FUNC PyInit_boot_banner() { return frame::initialize(boot_banner_module); }
