// Linked into every module of a wheel built with the C++ runtime inside it
// (VANTREL_STATIC_RUNTIME, Linux).
//
// The modules are built without C++ exceptions, so an allocation failure in
// a standard container ends the process either way (see ref.h).  The
// runtime's own versions of these functions throw, and linking them in
// brings the runtime's exception machinery with it, and with that parts of
// it that call glibc functions of recent versions (arc4random: 2.36), which
// would make the wheel refuse older systems.  These versions end the process
// at once, as the runtime does for an exception nobody catches.
#include <bits/functexcept.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) noexcept {
    std::fprintf(stderr, "vantrel: fatal: %s\n", what);
    std::abort();
}

}  // namespace

namespace std {

void __throw_bad_alloc() { fail("out of memory"); }
void __throw_bad_array_new_length() { fail("bad array length"); }
void __throw_length_error(const char* what) { fail(what); }
void __throw_logic_error(const char* what) { fail(what); }
void __throw_out_of_range(const char* what) { fail(what); }
void __throw_out_of_range_fmt(const char* what, ...) { fail(what); }
void __throw_invalid_argument(const char* what) { fail(what); }

}  // namespace std
