// Auto-reset event: an unnamed Win32 event, not signalled at first.

#include "platform/inject.h"
#include "platform/platform.h"

#include <windows.h>

#include <new>

namespace tarvik {
namespace plat {

struct CEvent::Impl {
    HANDLE handle;
    bool valid;
};

CEvent::CEvent() : impl_(new Impl{CreateEventA(nullptr, FALSE, FALSE, nullptr), false}) {
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
    SetEvent(impl_->handle);
}

void CEvent::Reset() {
    ResetEvent(impl_->handle);
}

bool CEvent::Wait(int32_t milliseconds) {
    const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    return WaitForSingleObject(impl_->handle, timeout) == WAIT_OBJECT_0;
}

}  // namespace plat
}  // namespace tarvik
