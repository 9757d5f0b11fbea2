// The process-wide window registry of the local transport.
#include "client/client_registry.h"

#include <new>

namespace tarvik {

CClientRegistry& CClientRegistry::Instance() {
    // Never destroyed, see the header. Made on first use, which the static
    // below moves to the loading of the library.
    static CClientRegistry* const registry = new CClientRegistry;
    return *registry;
}

namespace {
// Made when the library is loaded, before any client exists.
[[maybe_unused]] CClientRegistry& g_registryAtLoad = CClientRegistry::Instance();
}  // namespace

CTarvikClient* CClientRegistry::FindClientByWindow(plat::WindowHandle window) {
    plat::CLockHold hold(lock_);
    CTarvikClient* client = nullptr;
    return map_.Lookup(window, &client) ? client : nullptr;
}

bool CClientRegistry::RegisterClientWindow(plat::WindowHandle window, CTarvikClient* client) {
    plat::CLockHold hold(lock_);
    if (client == nullptr) {
        map_.RemoveKey(window);
        return true;
    }
    return map_.Set(window, client);
}

int32_t CClientRegistry::GetCount() {
    plat::CLockHold hold(lock_);
    return map_.GetCount();
}

bool CClientRegistry::HasTable() {
    plat::CLockHold hold(lock_);
    return map_.HasTable();
}

}  // namespace tarvik
