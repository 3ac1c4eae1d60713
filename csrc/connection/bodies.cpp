#include "bodies.h"

#include "msgpack_objects.h"
#include "ref_array.h"

namespace vantrel {

namespace {

using msgpack::Item;
using msgpack::Kind;
using msgpack::Reader;

// The head of the body's array: its element count, or -1 with an error set.
long long open_array(const msgpack::ObjectContext& ctx, Reader& reader) {
    Item item;
    if (!reader.next(item)) {
        msgpack::raise_reader_error(ctx, reader);
        return -1;
    }
    if (item.kind != Kind::Array) {
        PyErr_SetString(ctx.error, "an array expected");
        return -1;
    }
    return item.len;
}

bool close_body(const msgpack::ObjectContext& ctx, const Reader& reader) {
    if (!reader.at_end()) {
        PyErr_SetString(ctx.error, "extra data after the value");
        return false;
    }
    return true;
}

// The next value of a row, into the next entry of its dictionary.  A number, None,
// a boolean, a string (through the cache) or a bytes is made here, and runs
// no code; anything else is made by the builder and may run code (an
// extension's factory, a collection started by a container's allocation):
// the row is then no longer quiet.  False with an error set.
#if defined(__GNUC__)
[[gnu::always_inline]]
#endif
inline bool put_value(const msgpack::ObjectContext& ctx, Reader& reader, Item& item, DirectRow& row) {
    const std::size_t at = reader.offset();
    if (!reader.next(item)) {
        msgpack::raise_reader_error(ctx, reader);
        return false;
    }
    PyObject* value;
    switch (item.kind) {
        case Kind::UInt:
            value = item.u <= static_cast<std::uint64_t>(INT64_MAX) ? PyLong_FromLongLong(static_cast<long long>(item.u))
                                                                     : PyLong_FromUnsignedLongLong(item.u);
            break;
        case Kind::Int:
            value = PyLong_FromLongLong(item.i);
            break;
        case Kind::Float:
            value = PyFloat_FromDouble(item.f);
            break;
        case Kind::Str:
            value = msgpack::build_str(ctx, item, at, false).release();
            break;
        case Kind::Nil:
            value = Py_None;
            Py_INCREF(value);
            break;
        case Kind::Bool:
            value = item.b ? Py_True : Py_False;
            Py_INCREF(value);
            break;
        case Kind::Bin:
            value = msgpack::build_payload(ctx, item, at, false).release();
            break;
        default: {
            row.quiet = false;
            Ref built = msgpack::build_value_from(ctx, reader, item, at, 2);
            if (!built) {
                return false;
            }
            row.put(built.release());
            return true;
        }
    }
    if (value == nullptr) {
        return false;
    }
    row.put_plain(value);
    return true;
}

bool rows_of(const msgpack::ObjectContext& ctx, const char* data, std::size_t size, RowBuilder& rows,
             PyObject* out, bool after_head) {
    Reader reader(data, size);
    long long n = open_array(ctx, reader);
    if (n < 0) {
        return false;
    }
    if (after_head) {
        if (n == 0 || !reader.skip(msgpack::kMaxDepth)) {
            PyErr_SetString(ctx.error, "no header row");
            return false;
        }
    }
    // The values of one row, in room for as many as the row announces (the
    // reader has checked that the body can hold them, one byte each).
    RefArray values;
    Item item;  // the item just read (one for the whole body)
    // The keys were found unchanged at the end of a row, and only quiet rows
    // were made since (see close_row).
    bool keys_checked = false;
    for (long long r = after_head ? 1 : 0; r < n; ++r) {
        std::size_t at = reader.offset();
        if (!reader.next(item)) {
            msgpack::raise_reader_error(ctx, reader);
            return false;
        }
        if (item.kind != Kind::Array) {
            // A map, a scalar, a string: the row as the builder makes it.
            keys_checked = false;
            Ref row = msgpack::build_value_from(ctx, reader, item, at, 1);
            if (!row || !rows.append_to(out, row.get())) {
                return false;
            }
            continue;
        }
        const std::uint32_t len = item.len;
        DirectRow direct;
        if (rows.open_row(static_cast<Py_ssize_t>(len), direct)) {
            for (std::uint32_t k = 0; k < len; ++k) {
                if (!put_value(ctx, reader, item, direct)) {
                    return false;
                }
            }
            if (!rows.close_row(out, direct, keys_checked)) {
                return false;
            }
            continue;
        }
        keys_checked = false;
        if (PyErr_Occurred()) {
            return false;
        }
        if (!values.reset(len)) {
            return false;
        }
        for (std::uint32_t k = 0; k < len; ++k) {
            Ref value = msgpack::build_value(ctx, reader, 2);
            if (!value) {
                return false;
            }
            values.push(std::move(value));
        }
        if (!rows.append_values(out, values.data(), static_cast<Py_ssize_t>(values.size()))) {
            return false;
        }
    }
    return close_body(ctx, reader);
}

// The state for the module functions; null (with False to return) when the
// native codec is missing or an argument does not allow the straight path.
ModuleState* usable_state(const char* func, Py_ssize_t expected, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject* result) {
    ModuleState* ms = entry_state();
    if (ms == nullptr) {
        return nullptr;
    }
    if (nargs != expected || kwnames != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments", func, expected);
        return nullptr;
    }
    if (ms->native_decompress == nullptr || !PyList_CheckExact(result)) {
        return nullptr;
    }
    return ms;
}

// Expands `body` and runs `decode(data, size)` on it straight into `result`.
template <typename Decode>
PyObject* extend_straight(ModuleState& ms, PyObject* result, PyObject* body, PyObject* cm, Decode&& decode) {
    if (!PyBytes_CheckExact(body)) {
        Py_RETURN_FALSE;
    }
    Ref data = expanded_body(ms, body, cm);
    if (!data || !PyBytes_CheckExact(data.get())) {
        if (data || PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
        return nullptr;
    }
    const char* bytes = PyBytes_AS_STRING(data.get());
    std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    int done = decode_straight(result, [&] { return decode(bytes, size); });
    if (done < 0) {
        return nullptr;
    }
    return PyBool_FromLong(done);
}

}  // namespace

bool append_rows(const msgpack::ObjectContext& ctx, const char* data, std::size_t size, RowBuilder& rows,
                 PyObject* out, bool after_head) {
    return msgpack::with_gc_paused(size, [&] { return rows_of(ctx, data, size, rows, out, after_head); });
}

Ref head_of(const msgpack::ObjectContext& ctx, const char* data, std::size_t size) {
    Reader reader(data, size);
    long long n = open_array(ctx, reader);
    if (n == 0) {
        PyErr_SetString(ctx.error, "no header row");
    }
    return n > 0 ? msgpack::build_value(ctx, reader, 1) : Ref();
}

bool append_items(const msgpack::ObjectContext& ctx, const char* data, std::size_t size, PyObject* out) {
    // The elements are made into one list of the body's length and moved
    // into `out` in one step: faster than appending them one by one, and the
    // list holds no object of its own.
    return msgpack::extend_list(ctx, data, size, out) >= 0;
}

Ref expanded_body(ModuleState& ms, PyObject* body, PyObject* cm) {
    if (PyLong_Check(cm)) {
        int overflow = 0;
        if (PyLong_AsLongLongAndOverflow(cm, &overflow) == 0 && overflow == 0) {
            return Ref::new_ref(body);
        }
    }
    PyObject* argv[] = {body, cm, ms.max_decompressed};
    return Ref::steal(PyObject_Vectorcall(ms.native_decompress, argv, 3, nullptr));
}

PyObject* module_extend_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = usable_state("_extend_rows", 4, nargs, kwnames, nargs == 4 ? args[0] : nullptr);
    if (ms == nullptr) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        Py_RETURN_FALSE;
    }
    PyObject* result = args[0];
    RowBuilder rows(args[1]);
    return extend_straight(*ms, result, args[2], args[3], [&](const char* data, std::size_t size) {
        return append_rows(ms->objects, data, size, rows, result);
    });
}

PyObject* module_extend_items(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* ms = usable_state("_extend_items", 3, nargs, kwnames, nargs == 3 ? args[0] : nullptr);
    if (ms == nullptr) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        Py_RETURN_FALSE;
    }
    PyObject* result = args[0];
    return extend_straight(*ms, result, args[1], args[2], [&](const char* data, std::size_t size) {
        return append_items(ms->objects, data, size, result);
    });
}

}  // namespace vantrel
