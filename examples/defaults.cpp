// A small host program: loads the library through its public headers, creates
// two clients, shows their defaults and the shared server registry, and
// destroys them again.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tarvik/tarvik.hpp"

namespace {

void ShowClient(const char* label, ITarvikClient* client) {
    std::printf("%s: state %d (%s), request timeout %d ms, heartbeat %d ms, link %s\n", label,
                client->GetState(), tarvik::stateName(client->GetState()),
                client->GetRequestTimeout(), client->GetHeartbeatInterval(),
                client->IsLinkUp() ? "up" : "down");
}

// The registry as the servers of this machine see it: a count of entries, then
// 36-byte entries (window, name, kind) from byte 108 on.
void ShowRegistry() {
    const int fd = shm_open("/Commonm_filemap", O_RDONLY, 0);
    if (fd < 0) {
        std::printf("registry: not present\n");
        return;
    }
    struct stat st {};
    fstat(fd, &st);
    const size_t size = static_cast<size_t>(st.st_size);
    void* view = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (view == MAP_FAILED) {
        std::printf("registry: %zu bytes, no view\n", size);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(view);
    int32_t count = 0;
    std::memcpy(&count, bytes, 4);
    std::printf("registry \"Commonm_filemap\": %zu bytes, %d entries\n", size, count);
    for (int32_t i = 0; i < count && i < 60; ++i) {
        const size_t at = 108 + 36 * static_cast<size_t>(i);
        if (at + 36 > size) {
            break;
        }
        int32_t window = 0;
        int32_t kind = 0;
        char name[25] = {};
        std::memcpy(&window, bytes + at, 4);
        std::memcpy(name, bytes + at + 4, 24);
        std::memcpy(&kind, bytes + at + 28, 4);
        std::printf("  entry %d: window %d, name \"%s\", kind %d\n", i, window, name, kind);
    }
    munmap(view, size);
}

}  // namespace

int main() {
    ITarvikClient* first = TarvikCreateClient(1);
    ITarvikClient* second = TarvikCreateClient(2);
    if (first == nullptr || second == nullptr) {
        std::fprintf(stderr, "could not create the clients\n");
        return 1;
    }
    ShowClient("client 1", first);
    ShowClient("client 2", second);
    ShowRegistry();

    char text[64];
    first->GetLastErrorText(text, sizeof text);
    std::printf("client 1 last error: \"%s\"\n", text);

    void* block = TarvikAlloc(64);
    std::printf("TarvikAlloc(64) %s, TarvikAlloc(0) %s\n", block ? "gives a block" : "fails",
                TarvikAlloc(0) ? "gives a block" : "gives null");
    TarvikFree(block);

    TarvikDestroyClient(second);
    TarvikDestroyClient(first);
    std::printf("both clients destroyed\n");
    return 0;
}
