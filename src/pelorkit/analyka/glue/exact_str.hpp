// Hashing and comparing exact str objects the way a set or dict does, without
// the generic protocol: the hash a str caches, and equality by content.
#pragma once

#include "pelorkit/python.hpp"

#include <cstddef>
#include <cstring>

namespace pelorkit::analyka {

// Python's hash of an exact str: the one it caches, computed (and cached)
// when not yet there; -1 with the error set when it cannot be computed.
inline Py_hash_t str_hash(PyObject *str) {
    const Py_hash_t cached = reinterpret_cast<PyASCIIObject *>(str)->hash;
    return cached != -1 ? cached : PyObject_Hash(str);
}

// a == b for two exact str, as str.__eq__ decides it (same length, kind and
// code points). Both must be ready, which any str whose hash is known is.
inline bool same_str(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    const auto kind = static_cast<std::size_t>(PyUnicode_KIND(a));
    return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<std::size_t>(PyUnicode_KIND(b)) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) ==
               0;
}

} // namespace pelorkit::analyka
