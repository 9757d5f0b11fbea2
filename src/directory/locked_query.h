// How every directory and subscription query starts: it needs a linked
// session with the given flags (otherwise -1, and nothing written), then runs
// under one hold of the state lock, so that a rebuild at login or a change of
// the table never shows it half done. No exception leaves.
#pragma once

#include <cstdint>

#include "client/client.h"

namespace tarvik {

// `needed` is a TestFlags query: FLAGS_IS_LOGGED_IN or FLAGS_IS_READY.
template <typename F>
int32_t CTarvikClient::LockedQuery(int32_t needed, F&& query) {
    return Guarded<int32_t>(-1, [&]() -> int32_t {
        if (!IsLinkUp() || !TestFlags(needed)) {
            return -1;
        }
        plat::CLockHold hold(stateLock_);
        return query();
    });
}

}  // namespace tarvik
