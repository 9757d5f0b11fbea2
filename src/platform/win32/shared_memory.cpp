// Named shared mappings backed by the paging file. The mapping is created
// with a security descriptor whose access list is present but null, so that
// a server and its clients under other accounts can all open it, and with
// inheritable handles, as the system's other programs make it.

#include "platform/admit.h"
#include "platform/platform.h"
#include "platform/shared_mapping.h"

#include <windows.h>

#include <new>
#include <string>

namespace tarvik {
namespace plat {

namespace {

// The size of the view that MapViewOfFile made of a whole mapping: the
// region it reserved, which is the mapping's size rounded up to whole pages.
size_t ViewSize(const void* view) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(view, &info, sizeof info) != sizeof info) {
        return 0;
    }
    return info.RegionSize;
}

SharedMapping* MapAll(HANDLE handle, size_t knownSize) {
    void* view = MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    if (view == nullptr) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return nullptr;
    }
    const size_t size = knownSize != 0 ? knownSize : ViewSize(view);
    SharedMapping* mapping = new (std::nothrow) SharedMapping{view, size, handle};
    if (mapping == nullptr) {
        UnmapViewOfFile(view);
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return mapping;
}

}  // namespace

SharedMapping* MappingOpen(const char* name) {
    if (!Admit(inject::kMapping, ERROR_ACCESS_DENIED)) {
        return nullptr;
    }
    const std::string full = ObjectName(name);
    HANDLE handle = OpenFileMappingA(FILE_MAP_ALL_ACCESS, TRUE, full.c_str());
    if (handle == nullptr) {
        return nullptr;
    }
    return MapAll(handle, 0);
}

SharedMapping* MappingCreate(const char* name, size_t size, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (size == 0 || size > 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!Admit(inject::kMapping, ERROR_ACCESS_DENIED)) {
        return nullptr;
    }
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);  // every account: full access
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, TRUE};

    const std::string full = ObjectName(name);
    HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                       static_cast<DWORD>(size), full.c_str());
    if (handle == nullptr) {
        return nullptr;
    }
    const bool already = GetLastError() == ERROR_ALREADY_EXISTS;
    if (existed != nullptr) {
        *existed = already;
    }
    // A mapping that existed keeps its own size, which may differ from ours.
    return MapAll(handle, already ? 0 : size);
}

void MappingClose(SharedMapping* mapping) {
    if (mapping == nullptr) {
        return;
    }
    UnmapViewOfFile(mapping->view);
    CloseHandle(mapping->handle);
    delete mapping;
}

void MappingRemove(const char* name) {
    (void)name;  // the system drops a mapping with its last handle
}

}  // namespace plat
}  // namespace tarvik
