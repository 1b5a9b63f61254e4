#include "utf8.hpp"

#include "host.hpp"

namespace velmo {

std::optional<std::string_view> utf8_text(PyObject* str, Ref& keep) {
    if (!host::utf8_in_place(str)) {
        keep = host::utf8_bytes(str);
        if (!keep) return std::nullopt;
        return std::string_view(PyBytes_AS_STRING(keep.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(keep.get())));
    }
    Py_ssize_t size = 0;
    const char* data = host::utf8_chars(str, &size);
    if (!data) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::string utf8(PyObject* str) {
    Ref keep;
    if (std::optional<std::string_view> text = utf8_text(str, keep)) return std::string(*text);
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!bytes) {
        PyErr_Clear();
        return "";
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

}  // namespace velmo
