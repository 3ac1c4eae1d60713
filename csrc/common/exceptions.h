// The exception being raised, taken out of the error indicator and put back,
// alike on every supported CPython (compat.h).
#pragma once

#include "compat.h"
#include "ref.h"

namespace vantrel {

// The exception being raised (normalised, its traceback attached), taken out
// of the error indicator; empty when none is set.
inline Ref fetch_exception() noexcept { return Ref::steal(compat::take_raised_exception()); }

// Raises `exc` again, as fetch_exception took it; nothing when it is empty.
inline void restore_exception(Ref exc) noexcept {
    if (!exc) {
        return;
    }
    compat::set_raised_exception(exc.release());
}

}  // namespace vantrel
