// CClientRegistry: the process-wide map from a client's hidden window to the
// client. The window procedure is shared by every window of the class, so it
// finds its client here.
//
// One per process, made before the first client needs it and never destroyed:
// a client destroyed by a static destructor, or a window thread still ending
// at exit, must still find it. It holds no memory while empty (the map
// releases its table with the last entry).
#pragma once

#include "directory/hash_map.h"
#include "platform/platform.h"

namespace tarvik {

class CTarvikClient;

class CClientRegistry {
  public:
    static CClientRegistry& Instance();

    // The client whose window this is; null when none is registered.
    CTarvikClient* FindClientByWindow(plat::WindowHandle window);
    // With a client: inserts the pair or replaces the client of the entry
    // (false when memory is short). With null: removes the entry if any;
    // removing the last one releases the table.
    bool RegisterClientWindow(plat::WindowHandle window, CTarvikClient* client);

    int32_t GetCount();
    bool HasTable();

  private:
    CClientRegistry() = default;

    plat::CLock lock_;
    // 17 buckets, bucket = handle >> 4 modulo 17, entries in blocks of 10.
    CHashMap<plat::WindowHandle, CTarvikClient*> map_{10};
};

}  // namespace tarvik
