// Machine-wide named mutex: a Win32 mutex with the same open-to-every-account
// attributes as the shared mapping. A holder that dies leaves it abandoned,
// and the next wait obtains it.

#include "platform/admit.h"
#include "platform/platform.h"

#include <windows.h>

#include <string>

namespace tarvik {
namespace plat {

struct NamedMutex {
    HANDLE handle;
};

NamedMutex* NamedMutexCreate(const char* name) {
    if (!Admit(inject::kNamedMutex, ERROR_ACCESS_DENIED)) {
        return nullptr;
    }
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, TRUE};

    const std::string full = ObjectName(name);
    HANDLE handle = CreateMutexA(&attributes, FALSE, full.c_str());
    if (handle == nullptr) {
        return nullptr;
    }
    NamedMutex* mutex = new (std::nothrow) NamedMutex{handle};
    if (mutex == nullptr) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return mutex;
}

bool NamedMutexLock(NamedMutex* mutex, int32_t milliseconds) {
    if (!Admit(mutex != nullptr, ERROR_INVALID_HANDLE, inject::kNamedMutex, ERROR_TIMEOUT)) {
        return false;
    }
    const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    const DWORD rc = WaitForSingleObject(mutex->handle, timeout);
    if (rc == WAIT_TIMEOUT) {
        SetLastError(ERROR_TIMEOUT);
    }
    // An abandoned mutex is obtained all the same: its holder died.
    return rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
}

void NamedMutexUnlock(NamedMutex* mutex) {
    if (mutex != nullptr) {
        ReleaseMutex(mutex->handle);
    }
}

void NamedMutexClose(NamedMutex* mutex) {
    if (mutex == nullptr) {
        return;
    }
    CloseHandle(mutex->handle);
    delete mutex;
}

}  // namespace plat
}  // namespace tarvik
