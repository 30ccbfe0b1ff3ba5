// Keeps C++ exceptions (memory exhaustion, mostly) from crossing the C
// boundary of the library: they become status codes.
#ifndef AVIFILE_API_GUARDED_CALL_H
#define AVIFILE_API_GUARDED_CALL_H

#include <exception>
#include <new>

#include "avifile.h"

namespace avifile::api {

template <typename Call>
HRESULT guardedCall(Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return AVIERR_MEMORY;
    } catch (...) {
        return AVIERR_INTERNAL;
    }
}

}  // namespace avifile::api

#endif  // AVIFILE_API_GUARDED_CALL_H
