// Re-entrant lock on a CRITICAL_SECTION, kept inside the CLock object.

#include "platform/platform.h"

#include <windows.h>

#include <new>

namespace tarvik {
namespace plat {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "CLock storage holds a critical section");
static_assert(alignof(CRITICAL_SECTION) <= 16, "CLock storage is aligned for a critical section");

namespace {
CRITICAL_SECTION* Section(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
}  // namespace

CLock::CLock() {
    InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

CLock::~CLock() {
    DeleteCriticalSection(Section(storage_));
}

void CLock::Enter() {
    EnterCriticalSection(Section(storage_));
}

void CLock::Leave() {
    LeaveCriticalSection(Section(storage_));
}

}  // namespace plat
}  // namespace tarvik
