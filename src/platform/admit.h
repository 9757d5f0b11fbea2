// The door of a seam call on either system: a call whose arguments are
// unusable, or whose injected failure is due, fails there with the error code
// the system would give, before the system is asked.
#pragma once

#include "platform/inject.h"
#include "platform/platform.h"

#include <cstdint>

namespace tarvik {
namespace plat {

// False, with `code` as the last error, when an injected failure of `kind` is
// due; true otherwise.
inline bool Admit(inject::Kind kind, int32_t code) {
    if (inject::Fail(kind)) {
        SetLastErrorCode(code);
        return false;
    }
    return true;
}

// As above, after the arguments: false, with `invalidCode` as the last error,
// when `valid` is false (the call is then not counted).
inline bool Admit(bool valid, int32_t invalidCode, inject::Kind kind, int32_t code) {
    if (!valid) {
        SetLastErrorCode(invalidCode);
        return false;
    }
    return Admit(kind, code);
}

}  // namespace plat
}  // namespace tarvik
