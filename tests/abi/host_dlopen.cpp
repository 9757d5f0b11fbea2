// A host application in miniature: loads the shared library at run time,
// finds the four exports by name, and drives a client through its interface
// knowing nothing but the public header.
//
//   tarvik_abi_host /path/to/libtarvik.so
//
// Exits 0 when every check passes; otherwise prints what failed and exits 1.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "tarvik/tarvik.h"

namespace {

using CreateFn = ITarvikClient*(TARVIK_CALL*)(int32_t);
using DestroyFn = void(TARVIK_CALL*)(ITarvikClient*);
using AllocFn = void*(TARVIK_CALL*)(int32_t);
using FreeFn = void(TARVIK_CALL*)(void*);

int g_failures = 0;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++g_failures;
    }
}

template <typename Fn>
Fn Find(void* library, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "FAILED: dlsym(%s): %s\n", name, dlerror());
        ++g_failures;
        return nullptr;
    }
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof symbol, "function and data pointers have one size");
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "FAILED: dlopen(%s): %s\n", argv[1], dlerror());
        return 1;
    }
    const auto create = Find<CreateFn>(library, "TarvikCreateClient");
    const auto destroy = Find<DestroyFn>(library, "TarvikDestroyClient");
    const auto alloc = Find<AllocFn>(library, "TarvikAlloc");
    const auto release = Find<FreeFn>(library, "TarvikFree");
    // The library's internals stay inside it.
    Check(dlsym(library, "_ZN6tarvik8MemAllocEm") == nullptr, "internal symbol is hidden");
    if (create == nullptr || destroy == nullptr || alloc == nullptr || release == nullptr) {
        dlclose(library);
        return 1;
    }

    // Blocks that cross the boundary.
    Check(alloc(0) == nullptr, "TarvikAlloc(0) is null");
    Check(alloc(-8) == nullptr, "TarvikAlloc(-8) is null");
    void* block = alloc(TARVIK_TEXT_BLOCK);
    Check(block != nullptr, "TarvikAlloc(64)");
    if (block != nullptr) {
        std::memset(block, 'a', TARVIK_TEXT_BLOCK);
        release(block);
    }
    release(nullptr);
    destroy(nullptr);

    // A client, driven through its table.
    ITarvikClient* client = create(17);
    Check(client != nullptr, "TarvikCreateClient");
    if (client != nullptr) {
        Check(client->GetState() == CONN_CLOSED, "GetState of a new client is CONN_CLOSED");
        Check(!client->IsLinkUp(), "IsLinkUp of a new client is false");
        Check(!client->GetServerFlag(), "GetServerFlag of a new client is false");
        Check(client->GetRequestTimeout() == 10000, "default request timeout");
        Check(client->GetHeartbeatInterval() == 500, "default heartbeat interval");
        client->SetRequestTimeout(3000);
        client->SetHeartbeatInterval(250);
        Check(client->GetRequestTimeout() == 3000, "request timeout round trip");
        Check(client->GetHeartbeatInterval() == 250, "heartbeat interval round trip");
        client->SetUserData(99);
        char text[32];
        std::memset(text, 'x', sizeof text);
        client->GetLastErrorText(text, static_cast<int32_t>(sizeof text));
        Check(text[0] == '\0' && text[sizeof text - 1] == '\0', "empty last error text");
        Check(client->GetPointCount() == -1, "GetPointCount without a session");
        Check(client->GetAdviseItemCount() == -1, "GetAdviseItemCount without a session");
        VarValue values[1] = {};
        const uint32_t item[1] = {0};
        Check(client->ReadValues(1, item, item, values) == -1, "ReadValues without a session");
        Check(client->UnadviseAll() == 0, "UnadviseAll without a session");
        client->Disconnect();
        Check(client->GetState() == CONN_CLOSED, "GetState after Disconnect");
        destroy(client);
    }

    // Two clients at once are independent.
    ITarvikClient* a = create(1);
    ITarvikClient* b = create(2);
    Check(a != nullptr && b != nullptr && a != b, "two clients");
    if (a != nullptr && b != nullptr) {
        a->SetRequestTimeout(1);
        Check(b->GetRequestTimeout() == 10000, "clients keep their own settings");
    }
    destroy(a);
    destroy(b);

    if (dlclose(library) != 0) {
        std::fprintf(stderr, "FAILED: dlclose: %s\n", dlerror());
        ++g_failures;
    }
    if (g_failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("host checks passed\n");
    return 0;
}
