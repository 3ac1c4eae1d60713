#include "dict_entries.h"

#include <cstdint>
#include <cstring>

namespace vantrel {

#if VANTREL_DICT_ENTRIES

bool entries_are_template(PyObject* dict, PyObject* keys) noexcept {
    using namespace entries_layout;
    DictEntries e;
    Py_ssize_t n = PyTuple_GET_SIZE(keys);
    if (!dict_entries(dict, e) || e.count != n) {
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(keys, i);
        if (e.key(i) != key || e.value(i) != Py_None) {
            return false;
        }
#if VANTREL_DICT_LAYOUT == 309
        // The cached hash before the key: one more sign of the right layout.
        Py_hash_t cached;
        std::memcpy(&cached, &e.first_key[i * kStride - 1], sizeof cached);
        if (cached != PyObject_Hash(key)) {
            return false;
        }
#endif
    }
    return true;
}

#else

bool entries_are_template(PyObject*, PyObject*) noexcept { return false; }

#endif

}  // namespace vantrel
