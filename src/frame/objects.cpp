#include "frame/objects.hpp"

#include <algorithm>

namespace frame {

Ref concat(std::initializer_list<PyObject*> parts) noexcept {
    // The parts exist, so the sum of their lengths cannot overflow.
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (PyObject* part : parts) {
        length += PyUnicode_GET_LENGTH(part);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part));
    }
    Ref result = Ref::steal(PyUnicode_New(length, max_char));
    if (!result) {
        return {};
    }
    Py_ssize_t at = 0;
    for (PyObject* part : parts) {
        const Py_ssize_t part_length = PyUnicode_GET_LENGTH(part);
        if (PyUnicode_CopyCharacters(result, at, part, 0, part_length) < 0) {
            return {};
        }
        at += part_length;
    }
    return result;
}

} // namespace frame
