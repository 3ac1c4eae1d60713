// Python objects from MessagePack items (see msgpack_objects.h).
#include "msgpack_objects.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "calls.h"
#include "exceptions.h"

namespace vantrel::msgpack {

namespace {

// Raises ctx.error("invalid MSGPACK body: <what> at offset <n>") with the
// pending exception, if any, as its cause.  MemoryError and exceptions that
// are not errors (KeyboardInterrupt, ...) pass through unchanged.
void raise_at(const ObjectContext& ctx, const char* what, std::size_t offset) {
    Ref cause = fetch_exception();
    if (cause && (!PyErr_GivenExceptionMatches(cause.get(), PyExc_Exception) ||
                  PyErr_GivenExceptionMatches(cause.get(), PyExc_MemoryError))) {
        restore_exception(std::move(cause));
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("invalid MSGPACK body: %s at offset %zu", what, offset));
    if (!message) {
        return;
    }
    Ref exc = Ref::steal(PyObject_CallOneArg(ctx.error, message.get()));
    if (!exc) {
        return;
    }
    // A UTF-8 error holds the bytes of the string: it is not kept, so that no
    // text reachable from the error shows what the body holds.
    if (cause && !PyErr_GivenExceptionMatches(cause.get(), PyExc_UnicodeDecodeError)) {
        PyException_SetCause(exc.get(), Ref::new_ref(cause.get()).release());
        PyException_SetContext(exc.get(), cause.release());
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

Ref new_str(const char* data, std::uint32_t len);

// The open containers of a Builder: the first few in place, so that a small
// body allocates nothing for them, deeper ones on the heap.
template <typename T, std::size_t N>
class SmallStack {
public:
    SmallStack() noexcept {}
    SmallStack(const SmallStack&) = delete;
    SmallStack& operator=(const SmallStack&) = delete;
    ~SmallStack() {
        while (size_ != 0) {
            pop_back();
        }
    }
    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    T& back() noexcept { return size_ <= N ? slots_[size_ - 1].value : deeper_.back(); }
    void push_back(T&& v) {
        if (size_ < N) {
            new (&slots_[size_].value) T(std::move(v));
        } else {
            deeper_.push_back(std::move(v));
        }
        ++size_;
    }
    void pop_back() noexcept {
        --size_;
        if (size_ < N) {
            slots_[size_].value.~T();
        } else {
            deeper_.pop_back();
        }
    }

private:
    union Slot {
        Slot() noexcept {}
        ~Slot() {}
        T value;
    };
    Slot slots_[N];
    std::size_t size_ = 0;
    std::vector<T> deeper_;
};

class Builder {
public:
    Builder(const ObjectContext& ctx, Reader& reader, int depth) noexcept : ctx_(ctx), reader_(reader), depth_(depth) {}
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    Ref value();
    // The value whose head `item` was read at `at` already.
    Ref value_from(const Item& item, std::size_t at);

private:
    struct Frame {
        Ref container;
        Ref key;
        std::uint32_t index;
        std::uint32_t len;
        bool map;
        std::size_t start;
        std::size_t key_offset;
    };

    const ObjectContext& ctx_;
    Reader& reader_;
    int depth_;
    SmallStack<Frame, 16> stack_;
};

Ref Builder::value() {
    Item item;
    for (;;) {
        std::size_t at = reader_.offset();
        if (!reader_.next(item)) {
            raise_reader_error(ctx_, reader_);
            return Ref();
        }
        Ref v;
        if (item.kind == Kind::Array || item.kind == Kind::Map) {
            if (depth_ + static_cast<int>(stack_.size()) >= kMaxDepth) {
                reader_.fail("nesting too deep");
                raise_reader_error(ctx_, reader_);
                return Ref();
            }
            const bool map = item.kind == Kind::Map;
            Ref container = Ref::steal(map ? _PyDict_NewPresized(item.len) : PyList_New(item.len));
            if (!container) {
                return Ref();
            }
            if (item.len == 0) {
                v = std::move(container);
            } else {
                if (!map) {
                    // Its slots are empty until filled: no other code may see it.
                    PyObject_GC_UnTrack(container.get());
                }
                stack_.push_back(Frame{std::move(container), Ref(), 0, item.len, map, at, 0});
                continue;
            }
        } else {
            v = build_scalar(ctx_, item, at, !stack_.empty() && stack_.back().map && !stack_.back().key);
            if (!v) {
                return Ref();
            }
        }
        // A whole value: it goes into the innermost open container, which may
        // be completed by it and go into the next one out, and so on.
        for (;;) {
            if (stack_.empty()) {
                return v;
            }
            Frame& f = stack_.back();
            if (!f.map) {
                PyList_SET_ITEM(f.container.get(), f.index, v.release());
            } else if (!f.key) {
                f.key = std::move(v);
                f.key_offset = at;
                break;
            } else {
                if (PyDict_SetItem(f.container.get(), f.key.get(), v.get()) < 0) {
                    raise_at(ctx_, "unusable map key", f.key_offset);
                    return Ref();
                }
                f.key.reset();
            }
            if (++f.index < f.len) {
                break;
            }
            if (!f.map) {
                PyObject_GC_Track(f.container.get());  // whole now
            }
            v = std::move(f.container);
            at = f.start;
            stack_.pop_back();
        }
    }
}

Ref Builder::value_from(const Item& item, std::size_t at) {
    if (item.kind != Kind::Array && item.kind != Kind::Map) {
        return build_scalar(ctx_, item, at, false);
    }
    if (depth_ >= kMaxDepth) {
        reader_.fail("nesting too deep");
        raise_reader_error(ctx_, reader_);
        return Ref();
    }
    const bool map = item.kind == Kind::Map;
    Ref container = Ref::steal(map ? _PyDict_NewPresized(item.len) : PyList_New(item.len));
    if (!container || item.len == 0) {
        return container;
    }
    if (!map) {
        PyObject_GC_UnTrack(container.get());  // as in value()
    }
    stack_.push_back(Frame{std::move(container), Ref(), 0, item.len, map, at, 0});
    return value();  // its elements, until it is whole
}

}  // namespace

namespace {

// A str of UTF-8 data[0:len]; short ASCII text is copied straight into a new
// str, anything else goes through the interpreter's decoder.
Ref new_str(const char* data, std::uint32_t len) {
    if (len <= StrCache::kMaxLength) {
        unsigned char any = 0;
        for (std::uint32_t k = 0; k < len; ++k) {
            any |= static_cast<unsigned char>(data[k]);
        }
        if (any < 0x80 && len > 1) {
            Ref s = Ref::steal(PyUnicode_New(len, 127));
            if (s) {
                std::memcpy(PyUnicode_DATA(s.get()), data, len);
            }
            return s;
        }
    }
    return Ref::steal(PyUnicode_DecodeUTF8(data, len, nullptr));
}

}  // namespace

PyObject* StrCache::add(const char* data, std::uint32_t len, bool hashed, const Key& key, Entry* set) {
    Ref s = new_str(data, len);
    // Only ASCII strings are kept: their characters are their UTF-8 bytes.
    if (!s || len > kMaxLength || !PyUnicode_IS_COMPACT_ASCII(s.get()) ||
        (hashed && PyObject_Hash(s.get()) == -1)) {
        return s.release();
    }
    Key k = key;
    if (set == nullptr) {  // no table yet: this is the first string
        if (entries_ == nullptr) {
            entries_ = static_cast<Entry*>(PyMem_Calloc(std::size_t{1} << kSetBits, kWays * sizeof(Entry)));
            if (entries_ == nullptr) {
                return s.release();  // strings are made afresh, then
            }
        }
        k = key_of(data, len);
        set = set_of(k);
    }
    PyObject* oldest = set[kWays - 1].str;
    std::memmove(static_cast<void*>(set + 1), set, (kWays - 1) * sizeof(Entry));
    set[0] = Entry{k, Ref::new_ref(s.get()).release()};
    Py_XDECREF(oldest);  // a str: releasing it runs no code
    return s.release();
}

void StrCache::clear() noexcept {
    Entry* entries = std::exchange(entries_, nullptr);
    if (entries == nullptr) {
        return;
    }
    for (std::size_t k = 0; k < (std::size_t{1} << kSetBits) * kWays; ++k) {
        Py_XDECREF(entries[k].str);
    }
    PyMem_Free(entries);
}

GcPause::GcPause() noexcept : was_enabled_(compat::gc_disable()) {}

GcPause::~GcPause() {
    if (was_enabled_) {
        compat::gc_enable();  // an error being raised stays the error
    }
}

void raise_reader_error(const ObjectContext& ctx, const Reader& reader) {
    raise_at(ctx, reader.error() ? reader.error() : "malformed data", reader.error_offset());
}

Ref build_payload(const ObjectContext& ctx, const Item& item, std::size_t at, bool is_key) {
    switch (item.kind) {
        case Kind::Str: {
            Ref s = ctx.strings != nullptr ? Ref::steal(ctx.strings->get(item.data, item.len, is_key))
                                           : new_str(item.data, item.len);
            return s ? std::move(s) : string_failed(ctx, at);
        }
        case Kind::Bin:
            return Ref::steal(PyBytes_FromStringAndSize(item.data, item.len));
        case Kind::Ext: {
            Ref data = Ref::steal(PyBytes_FromStringAndSize(item.data, item.len));
            if (!data) {
                return Ref();
            }
            Ref v;
            if (item.ext_type == -1) {
                v = Ref::steal(PyObject_CallOneArg(ctx.timestamp, data.get()));
            } else {
                Ref code = Ref::steal(PyLong_FromLong(item.ext_type));
                v = code ? call(ctx.ext_type, code.get(), data.get())
                         : Ref();
            }
            if (!v) {
                raise_at(ctx, item.ext_type == -1 ? "invalid timestamp" : "invalid extension value", at);
            }
            return v;
        }
        default:
            return Ref();  // containers are built by Builder::value()
    }
}

Ref string_failed(const ObjectContext& ctx, std::size_t at) {
    raise_at(ctx, "invalid UTF-8 in a string", at);
    return Ref();
}

Ref build_value_from(const ObjectContext& ctx, Reader& reader, const Item& item, std::size_t at, int depth) {
    Builder builder(ctx, reader, depth);
    return builder.value_from(item, at);
}

Ref decode(const ObjectContext& ctx, const char* data, std::size_t size) {
    Reader reader(data, size);
    Builder builder(ctx, reader, 0);
    Ref v = with_gc_paused(size, [&] { return builder.value(); });
    if (v && !reader.at_end()) {
        raise_at(ctx, "extra data after the value", reader.offset());
        return Ref();
    }
    return v;
}

Py_ssize_t extend_list(const ObjectContext& ctx, const char* data, std::size_t size, PyObject* list) {
    Ref v = decode(ctx, data, size);
    if (!v) {
        return -1;
    }
    if (!PyList_CheckExact(v.get())) {
        raise_at(ctx, "an array expected", 0);
        return -1;
    }
    Py_ssize_t n = PyList_GET_SIZE(v.get());
    Py_ssize_t end = PyList_GET_SIZE(list);
    if (PyList_SetSlice(list, end, end, v.get()) < 0) {
        return -1;
    }
    return n;
}

}  // namespace vantrel::msgpack
