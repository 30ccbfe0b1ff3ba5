// Keeps C++ exceptions (memory exhaustion, mostly) from crossing the C
// boundary of the library: they become status codes. The call starts with no
// failure reason, so that a reason read afterwards is the call's own.
#ifndef AVIFILE_API_GUARDED_CALL_H
#define AVIFILE_API_GUARDED_CALL_H

#include <exception>
#include <new>

#include "api/failure_reason.h"
#include "avifile.h"

namespace avifile::api {

template <typename Call>
HRESULT guardedCall(Call&& call) noexcept {
    clearFailureReason();
    try {
        return call();
    } catch (const std::bad_alloc&) {
        setFailureReason("out of memory");
        return AVIERR_MEMORY;
    } catch (...) {
        return AVIERR_INTERNAL;
    }
}

}  // namespace avifile::api

#endif  // AVIFILE_API_GUARDED_CALL_H
