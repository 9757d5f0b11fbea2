// CSimServer: random faults for soak tests. Each reply meets a fault with the
// configured probability: no answer, a wrong magic or length, garbage or a
// false marker before it, a split into pieces, or a dropped connection (the
// last three over TCP only).
#include "sim/sim_server.h"

#include <algorithm>

#include "sim/sim_internal.h"

namespace tarvik {
namespace sim {

void CSimServer::SetRandomFaults(uint32_t seed, uint32_t percent, uint32_t maxFaults) {
    plat::CLockHold hold(lock_);
    faultRng_.seed(seed);
    faultPercent_ = std::min<uint32_t>(percent, 100);
    faultsLeft_ = percent == 0 ? 0 : maxFaults;
    faultsInjected_ = 0;
}

uint32_t CSimServer::FaultsInjected() const {
    plat::CLockHold hold(lock_);
    return faultsInjected_;
}

void CSimServer::ApplyRandomFault(Outgoing* out, Transport transport) {
    if (faultsLeft_ == 0 || faultPercent_ == 0 || !out->answer) {
        return;
    }
    if (faultRng_() % 100 >= faultPercent_) {
        return;
    }
    --faultsLeft_;
    ++faultsInjected_;
    const uint32_t kinds = transport == Transport::Tcp ? 7 : 3;
    switch (faultRng_() % kinds) {
        case 0:
            out->answer = false;
            break;
        case 1:
            StoreI16(out->message.data() + hdr::kMagic, MSG_MAGIC + 1);
            break;
        case 2:
            StoreI32(out->message.data() + hdr::kPayloadLength,
                     LoadI32(out->message.data() + hdr::kPayloadLength) + 1);
            break;
        case 3: {
            const std::vector<uint8_t> g = Garbage(1 + faultRng_() % 40);
            out->prefix.insert(out->prefix.end(), g.begin(), g.end());
            break;
        }
        case 4: {
            const std::vector<uint8_t> m = FalseMarker();
            out->prefix.insert(out->prefix.end(), m.begin(), m.end());
            break;
        }
        case 5:
            out->fragments = {1 + faultRng_() % 20, 1 + faultRng_() % 60};
            out->pauseMs = 1 + faultRng_() % 5;
            break;
        default:
            out->drop = true;
            break;
    }
    Log("random fault " + std::to_string(faultsInjected_));
}

}  // namespace sim
}  // namespace tarvik
