// An array of owned references whose allocation can fail: false with
// MemoryError set, where a std::vector that cannot grow would end the process
// (the modules are built without C++ exceptions).  For sizes read from input.
#pragma once

#include <cstddef>
#include <new>

#include "ref.h"

namespace vantrel {

class RefArray {
public:
    RefArray() noexcept = default;
    RefArray(const RefArray&) = delete;
    RefArray& operator=(const RefArray&) = delete;
    ~RefArray() {
        clear();
        PyMem_Free(items_);
    }

    // Empties the array and makes room for n references.
    bool reset(std::size_t n) noexcept {
        clear();
        if (n <= cap_) {
            return true;
        }
        void* p = n <= static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(Ref) ? PyMem_Malloc(n * sizeof(Ref)) : nullptr;
        if (p == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        PyMem_Free(items_);
        items_ = static_cast<Ref*>(p);
        cap_ = n;
        return true;
    }
    // Appends into the room made by reset().
    void push(Ref value) noexcept { new (&items_[size_++]) Ref(std::move(value)); }

    const Ref* data() const noexcept { return items_; }
    // (a callee may take the references over, leaving empty ones behind)
    Ref* data() noexcept { return items_; }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept {
        while (size_ != 0) {
            items_[--size_].~Ref();
        }
    }

private:
    Ref* items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace vantrel
