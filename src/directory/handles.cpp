// Subscription handles: drawn from the client's counter, advanced before use,
// never 0.
#include "client/client.h"

namespace tarvik {

int32_t CTarvikClient::NextHandle() {
    plat::CLockHold hold(stateLock_);
    return advise_.NextHandle(&handleCounter_);
}

}  // namespace tarvik
