// The synchronous requests. Until the session can log in, no request can be
// ready: each fails with its failure value without sending anything.
#include "client/client.h"

namespace tarvik {

int32_t CTarvikClient::ReadValues(uint32_t, const uint32_t*, const uint32_t*, VarValue*) {
    return -1;
}
int32_t CTarvikClient::WriteValues(uint32_t, const uint32_t*, const uint32_t*, const VarValue*) {
    return -1;
}
int32_t CTarvikClient::ReadHistory(double, double, uint32_t, uint32_t, const uint32_t*,
                                   const uint32_t*, double*) {
    return -1;
}
int32_t CTarvikClient::WriteHistory(uint32_t, uint32_t, uint32_t, const double*, const uint16_t*,
                                    const double*) {
    return -1;
}
int32_t CTarvikClient::Advise(uint32_t, const uint32_t*, const uint32_t*, const int32_t*,
                              int32_t*) {
    return -1;
}
int32_t CTarvikClient::Unadvise(uint32_t, const int32_t*) { return -1; }
int32_t CTarvikClient::UnadviseAll() { return 0; }
int32_t CTarvikClient::ReadHistoryRaw(double, double, uint32_t, uint32_t, double**, uint16_t**,
                                      double**) {
    return -1;
}

}  // namespace tarvik
