// Auto-reset event: an unnamed Win32 event, not signalled at first. An atomic
// copy of its state lets Spin watch it without a system call; the event
// itself stays the authority, so a stale copy only shortens or ends a spin.

#include "platform/inject.h"
#include "platform/platform.h"
#include "platform/spin.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace tarvik {
namespace plat {
namespace {

bool OnOneCpu() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        return true;
    }
    return (process & (process - 1)) == 0;  // at most one bit set
}

}  // namespace

struct CEvent::Impl {
    HANDLE handle;
    bool valid;
    std::atomic<bool> posted;
};

CEvent::CEvent() : impl_(new Impl{CreateEventA(nullptr, FALSE, FALSE, nullptr), false, {false}}) {
    impl_->valid = impl_->handle != nullptr && !inject::Fail(inject::kEvent);
}

bool CEvent::IsValid() const {
    return impl_->valid;
}

CEvent::~CEvent() {
    if (impl_->handle != nullptr) {
        CloseHandle(impl_->handle);
    }
    delete impl_;
}

void CEvent::Set() {
    impl_->posted.store(true, std::memory_order_release);
    SetEvent(impl_->handle);
}

void CEvent::Reset() {
    impl_->posted.store(false, std::memory_order_relaxed);
    ResetEvent(impl_->handle);
}

bool CEvent::Wait(int32_t milliseconds) {
    const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    const bool got = WaitForSingleObject(impl_->handle, timeout) == WAIT_OBJECT_0;
    if (got) {
        impl_->posted.store(false, std::memory_order_relaxed);
    }
    return got;
}

bool CEvent::Spin(int32_t microseconds) {
    return SpinOn(impl_->posted, microseconds, &OnOneCpu);
}

}  // namespace plat
}  // namespace tarvik
