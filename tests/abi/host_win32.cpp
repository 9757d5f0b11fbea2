// A host program as the system's applications are: it knows only the public
// header and the Win32 loader. It loads tarvik.dll, finds the four exports by
// ordinal (they have no names), and calls every one of the 47 operations
// through the client's table by position, with the member convention
// (__thiscall on 32-bit Windows), on a client that never reaches a server.
//
//   tarvik_abi_host_win32.exe PATH\tarvik.dll
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tarvik/tarvik.h"

namespace {

int g_failures = 0;

// An export found by ordinal, as the function type it is.
template <typename Fn>
Fn Export(HMODULE dll, int ordinal) {
    FARPROC proc = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof proc, "function pointers of one size");
    std::memcpy(&fn, &proc, sizeof fn);
    return fn;
}

void Check(bool ok, const char* what, int slot) {
    if (!ok) {
        std::printf("FAILED: slot %d: %s\n", slot, what);
        ++g_failures;
    }
}

// Slot `slot` of the client's table, called as the host calls it: on 32-bit
// Windows this in ECX, the arguments on the stack, popped by the callee; on
// 64-bit Windows (where thiscall and stdcall mean nothing) the x64 convention
// with this as the first argument.
template <typename R, typename... A>
R CallSlot(ITarvikClient* client, int slot, A... args) {
    using Fn = R(__attribute__((thiscall))*)(ITarvikClient*, A...);
    void** table = *reinterpret_cast<void***>(client);
    Fn fn = nullptr;
    std::memcpy(&fn, &table[slot], sizeof fn);
    return fn(client, args...);
}

using CreateFn = ITarvikClient*(__stdcall*)(int32_t);
using DestroyFn = void(__stdcall*)(ITarvikClient*);
using AllocFn = void*(__stdcall*)(int32_t);
using FreeFn = void(__stdcall*)(void*);

void __stdcall StateSink(ITarvikClient*, TarvikUserData, int32_t) {}
void __stdcall DataSink(ITarvikClient*, TarvikUserData, int32_t, const int32_t*, const int32_t*,
                        const VarValue*) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: %s tarvik.dll\n", argv[0]);
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (dll == nullptr) {
        std::printf("FAILED: LoadLibraryA(%s): %lu\n", argv[1], GetLastError());
        return 1;
    }
    auto create = Export<CreateFn>(dll, 1);
    auto destroy = Export<DestroyFn>(dll, 2);
    auto alloc = Export<AllocFn>(dll, 3);
    auto release = Export<FreeFn>(dll, 4);
    if (create == nullptr || destroy == nullptr || alloc == nullptr || release == nullptr) {
        std::printf("FAILED: an export of ordinals 1 to 4 is missing\n");
        return 1;
    }
    Check(GetProcAddress(dll, MAKEINTRESOURCEA(5)) == nullptr, "no ordinal 5", -1);
    Check(GetProcAddress(dll, "TarvikCreateClient") == nullptr, "no export names", -1);

    // 3 and 4: the allocator pair.
    Check(alloc(0) == nullptr, "TarvikAlloc(0) is null", -1);
    void* block = alloc(64);
    Check(block != nullptr, "TarvikAlloc(64)", -1);
    std::memset(block, 0x5A, 64);
    release(block);
    release(nullptr);
    destroy(nullptr);

    ITarvikClient* c = create(7);
    if (c == nullptr) {
        std::printf("FAILED: TarvikCreateClient\n");
        return 1;
    }
    CallSlot<void>(c, 0, int32_t{42});
    CallSlot<void>(c, 1, static_cast<StateCallback>(StateSink));
    CallSlot<void>(c, 2, static_cast<DataCallback>(DataSink));
    // 3: through Lintaro.dll to a port where nothing listens; 5 stops it.
    Check(CallSlot<bool>(c, 3, int32_t{1}, "127.0.0.1", static_cast<const char*>(nullptr),
                         int32_t{0}),
          "ConnectRemote starts", 3);
    CallSlot<void>(c, 5);
    // 4: the hidden window of the local transport, with no server to find.
    Check(CallSlot<bool>(c, 4), "ConnectLocal starts", 4);
    CallSlot<void>(c, 5);
    Check(!CallSlot<bool>(c, 6), "GetServerFlag", 6);
    Check(!CallSlot<bool>(c, 7), "IsLinkUp", 7);
    Check(CallSlot<int32_t>(c, 8) == CONN_CLOSED, "GetState", 8);
    CallSlot<void>(c, 9, int32_t{2500});
    Check(CallSlot<int32_t>(c, 10) == 2500, "GetRequestTimeout", 10);
    CallSlot<void>(c, 11, int32_t{300});
    Check(CallSlot<int32_t>(c, 12) == 300, "GetHeartbeatInterval", 12);
    char text[64];
    std::memset(text, 'x', sizeof text);
    CallSlot<void>(c, 13, static_cast<char*>(text), int32_t{sizeof text});
    Check(std::memchr(text, '\0', sizeof text) != nullptr, "GetLastErrorText terminates", 13);

    int32_t in[2] = {0, 0};
    const int32_t* cin = in;
    const uint32_t uin[2] = {0, 0};
    const uint32_t* cuin = uin;
    int32_t o1[2], o2[2], o3[2];
    char names[2 * TARVIK_ITEM_NAME];
    const char* query = "PUMP1.PV";
    VarValue values[2] = {};
    double reals[4] = {0, 0, 0, 0};
    const double times[2] = {45000.0, 45000.5};
    const uint16_t statuses[2] = {0, 0};
    double* pTimes = nullptr;
    uint16_t* pStatuses = nullptr;
    double* pValues = nullptr;
    const int32_t n = 2;

    // Never connected: every query and request fails with -1 (36: 0).
    const int32_t r[] = {
        CallSlot<int32_t>(c, 14),
        CallSlot<int32_t>(c, 15, n, o1, static_cast<char*>(names), o2, o3),
        CallSlot<int32_t>(c, 16),
        CallSlot<int32_t>(c, 17, n, o1, o2),
        CallSlot<int32_t>(c, 18, n, cin, o1),
        CallSlot<int32_t>(c, 19, int32_t{0}, n, o1, o2, static_cast<char*>(names)),
        CallSlot<int32_t>(c, 20, int32_t{0}, int32_t{1}, query, o1),
        CallSlot<int32_t>(c, 21, int32_t{0}, n, cin, static_cast<char*>(names)),
        CallSlot<int32_t>(c, 22, int32_t{0}, n, cin, o1),
        CallSlot<int32_t>(c, 23, int32_t{1}, query, o1),
        CallSlot<int32_t>(c, 24, n, cin, static_cast<char*>(names)),
        CallSlot<int32_t>(c, 25, n, cin, o1),
        CallSlot<int32_t>(c, 26, n, cin, o1),
        CallSlot<int32_t>(c, 27, int32_t{1}, query, o1, o2),
        CallSlot<int32_t>(c, 28, n, cin, cin, static_cast<char*>(names)),
        CallSlot<int32_t>(c, 29, int32_t{1}, query, o1),
        CallSlot<int32_t>(c, 30, 2u, cuin, cuin, static_cast<VarValue*>(values)),
        CallSlot<int32_t>(c, 31, 2u, cuin, cuin, static_cast<const VarValue*>(values)),
        CallSlot<int32_t>(c, 32, 45000.0, 45001.0, 2u, 1u, cuin, cuin, static_cast<double*>(reals)),
        CallSlot<int32_t>(c, 33, 0u, 0u, 2u, static_cast<const double*>(times),
                          static_cast<const uint16_t*>(statuses),
                          static_cast<const double*>(times)),
        CallSlot<int32_t>(c, 34, 2u, cuin, cuin, cin, o1),
        CallSlot<int32_t>(c, 35, 2u, cin),
        CallSlot<int32_t>(c, 36),
        CallSlot<int32_t>(c, 37),
        CallSlot<int32_t>(c, 38, n, cin, o1, o2, o3),
        CallSlot<int32_t>(c, 39, n, o1, o2),
        CallSlot<int32_t>(c, 40),
        CallSlot<int32_t>(c, 41, n, o1, o2),
        CallSlot<int32_t>(c, 42, n, cin, cin, o1),
        CallSlot<int32_t>(c, 43, int32_t{0}, int32_t{0}, n, o1, o2),
        CallSlot<int32_t>(c, 44, n, cin, static_cast<VarValue*>(values)),
        CallSlot<int32_t>(c, 45, n, cin, cin, static_cast<VarValue*>(values)),
        CallSlot<int32_t>(c, 46, 45000.0, 45001.0, 0u, 0u, &pTimes, &pStatuses, &pValues),
    };
    for (int i = 0; i < static_cast<int>(sizeof r / sizeof r[0]); ++i) {
        const int slot = 14 + i;
        Check(r[i] == (slot == 36 ? 0 : -1), "fails on a never-connected client", slot);
    }
    // The calls popped exactly their arguments: the settings are intact.
    Check(CallSlot<int32_t>(c, 10) == 2500, "GetRequestTimeout after the calls", 10);
    Check(pTimes == nullptr && pStatuses == nullptr && pValues == nullptr,
          "ReadHistoryRaw hands out nothing", 46);

    destroy(c);
    FreeLibrary(dll);
    if (g_failures != 0) {
        return 1;
    }
    std::printf("47 slots and 4 ordinals called\n");
    return 0;
}
