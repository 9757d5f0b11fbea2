// Data-change delivery: one DataCallback per server report.
#include "client/client.h"

namespace tarvik {

void CTarvikClient::DeliverDataChange(const NotifyEvent&) {
    // Subscriptions are not built yet: no event can name a subscribed item.
}

}  // namespace tarvik
