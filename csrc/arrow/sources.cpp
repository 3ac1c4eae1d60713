#include "sources.h"

#include <limits>

#include "utf8.h"
#include "width.h"

namespace vantrel::arrow {

using msgpack::Item;
using msgpack::Kind;

// -- MessagePack bytes --------------------------------------------------------

namespace {

// The shared reader over what is left of the body.
msgpack::Reader rest(const unsigned char* data, std::size_t size, std::size_t pos) {
    return msgpack::Reader(reinterpret_cast<const char*>(data) + pos, size - pos);
}

}  // namespace

bool MsgpackSource::malformed(const msgpack::Reader& reader, Failure& failure) {
    return failure.set(FailureKind::Malformed,
                       std::string(reader.error() ? reader.error() : "malformed data") + " at offset " +
                           std::to_string(pos_ + reader.error_offset()));
}

bool MsgpackSource::skip_item(int depth, Failure& failure) {
    msgpack::Reader reader = rest(data_, size_, pos_);
    if (!reader.skip(depth)) {
        return malformed(reader, failure);
    }
    pos_ += reader.offset();
    return true;
}

bool MsgpackSource::open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure) {
    Item item;
    if (!value(item, failure)) {
        return false;
    }
    if (item.kind != Kind::Array) {
        return failure.set(FailureKind::Malformed,
                           std::string("a table body must be a list of rows, not a ") + value_name(item));
    }
    rows = item.len;
    if (!first) {
        return true;
    }
    if (rows == 0) {
        return failure.set(FailureKind::Malformed, "the first table packet has no header row");
    }
    rows -= 1;
    if (header == nullptr) {
        return skip_item(msgpack::kMaxDepth - 1, failure);  // the header row
    }
    if (!value(item, failure)) {
        return false;
    }
    if (item.kind != Kind::Array) {
        return failure.set(FailureKind::Column,
                           std::string("the header row must be a list of column names, not a ") + value_name(item));
    }
    // The names are checked and measured first, then kept.
    const std::uint32_t n = item.len;
    if (!width_allowed(n, failure)) {
        return false;
    }
    const std::size_t names_at = pos_;
    std::size_t name_bytes = 0;
    for (std::uint32_t k = 0; k < n; ++k) {
        if (!value(item, failure)) {
            return false;
        }
        if (item.kind != Kind::Str) {
            return failure.set(FailureKind::Column,
                               std::string("column names must be str, not ") + value_name(item));
        }
        if (!valid_utf8(item.data, item.len)) {
            return failure.set(FailureKind::Malformed, "invalid UTF-8 in a column name");
        }
        name_bytes += item.len;
    }
    if (!room_for_columns(n, name_bytes, failure)) {
        return false;
    }
    pos_ = names_at;
    header->reserve(n);
    for (std::uint32_t k = 0; k < n; ++k) {
        static_cast<void>(value(item, failure));  // read once already
        header->emplace_back(item.data, item.len);
    }
    return true;
}

bool MsgpackSource::not_a_row(std::int64_t rowno, const Item& item, Failure& failure) {
    return failure.set(FailureKind::Column,
                       "row " + std::to_string(rowno) + ": a " + value_name(item) + ", not a list of values");
}

bool MsgpackSource::close(Failure& failure) {
    if (pos_ != size_) {
        return failure.set(FailureKind::Malformed, "extra data after the table body at offset " + std::to_string(pos_));
    }
    return true;
}

// -- Python lists ---------------------------------------------------------------

namespace {

const char* python_type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

}  // namespace

bool PythonSource::open(bool first, std::vector<std::string>* header, std::int64_t& rows, Failure& failure) {
    if (!PyList_Check(body_)) {
        return failure.set(FailureKind::Malformed,
                           std::string("a table body must be a list of rows, not a ") + python_type_name(body_));
    }
    rows_ = Ref::steal(PySequence_Tuple(body_));
    if (!rows_) {
        return failure.set(FailureKind::Python, "");
    }
    rows = PyTuple_GET_SIZE(rows_.get());
    next_row_ = 0;
    if (!first) {
        return true;
    }
    if (rows == 0) {
        return failure.set(FailureKind::Malformed, "the first table packet has no header row");
    }
    rows -= 1;
    next_row_ = 1;
    if (header == nullptr) {
        return true;
    }
    Ref keys = Ref::new_ref(PyTuple_GET_ITEM(rows_.get(), 0));
    if (!PyList_Check(keys.get())) {
        return failure.set(FailureKind::Column, std::string("the header row must be a list of column names, not a ") +
                                                    python_type_name(keys.get()));
    }
    Ref names = Ref::steal(PySequence_Tuple(keys.get()));
    if (!names) {
        return failure.set(FailureKind::Python, "");
    }
    // The names are checked and measured first, then kept.
    const Py_ssize_t n = PyTuple_GET_SIZE(names.get());
    if (!width_allowed(static_cast<std::size_t>(n), failure)) {
        return false;
    }
    std::size_t name_bytes = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), k);
        if (!PyUnicode_Check(name)) {
            return failure.set(FailureKind::Column,
                               std::string("column names must be str, not ") + python_type_name(name));
        }
        Py_ssize_t size = 0;
        if (PyUnicode_AsUTF8AndSize(name, &size) == nullptr) {
            PyErr_Clear();
            return failure.set(FailureKind::Malformed, "a column name that is not valid Unicode");
        }
        name_bytes += static_cast<std::size_t>(size);
    }
    if (!room_for_columns(static_cast<std::size_t>(n), name_bytes, failure)) {
        return false;
    }
    header->reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(names.get(), k), &size);  // cached
        header->emplace_back(text, static_cast<std::size_t>(size));
    }
    return true;
}

bool PythonSource::row(std::int64_t rowno, std::uint32_t& len, Failure& failure) {
    PyObject* row = PyTuple_GET_ITEM(rows_.get(), next_row_);
    ++next_row_;
    if (!PyList_Check(row)) {
        return failure.set(FailureKind::Column, "row " + std::to_string(rowno) + ": a " + python_type_name(row) +
                                                    ", not a list of values");
    }
    row_ = Ref::steal(PySequence_Tuple(row));
    if (!row_) {
        return failure.set(FailureKind::Python, "");
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(row_.get());
    len = n > static_cast<Py_ssize_t>(std::numeric_limits<std::uint32_t>::max())
              ? std::numeric_limits<std::uint32_t>::max()
              : static_cast<std::uint32_t>(n);
    pos_ = 0;
    return true;
}

bool PythonSource::value(Item& item, Failure& failure) {
    PyObject* obj = PyTuple_GET_ITEM(row_.get(), pos_);
    ++pos_;
    item = Item();
    if (obj == Py_None) {
        item.kind = Kind::Nil;
    } else if (PyBool_Check(obj)) {
        item.kind = Kind::Bool;
        item.b = obj == Py_True;
    } else if (PyLong_Check(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            return failure.set(FailureKind::Python, "");
        }
        if (overflow == 0) {
            item.kind = Kind::Int;
            item.i = v;
        } else if (overflow > 0 && (item.u = PyLong_AsUnsignedLongLong(obj), !PyErr_Occurred())) {
            item.kind = Kind::UInt;  // beyond int64, within uint64
        } else {
            // beyond 64 bits: its digits, for the columns that refuse it or read them
            PyErr_Clear();
            Ref text = Ref::steal(PyObject_Str(obj));
            Py_ssize_t size = 0;
            const char* digits = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
            if (digits == nullptr) {
                return failure.set(FailureKind::Python, "");
            }
            digits_.assign(digits, static_cast<std::size_t>(size));
            item.kind = Kind::UInt;
            item.u = std::numeric_limits<std::uint64_t>::max();  // (beyond int64 for the common cases)
            item.data = digits_.data();
            item.len = static_cast<std::uint32_t>(digits_.size());
        }
    } else if (PyFloat_Check(obj)) {
        item.kind = Kind::Float;
        item.f = PyFloat_AS_DOUBLE(obj);
    } else if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return failure.set(FailureKind::Malformed, "a str value that is not valid Unicode");
        }
        item.kind = Kind::Str;
        item.data = text;
        item.len = static_cast<std::uint32_t>(size);
    } else if (PyBytes_Check(obj)) {
        item.kind = Kind::Bin;
        item.data = PyBytes_AS_STRING(obj);
        item.len = static_cast<std::uint32_t>(PyBytes_GET_SIZE(obj));
    } else if (PyList_Check(obj) || PyTuple_Check(obj)) {
        item.kind = Kind::Array;
    } else if (PyDict_Check(obj)) {
        item.kind = Kind::Map;
    } else {
        item.kind = Kind::Ext;
    }
    return true;
}

}  // namespace vantrel::arrow
