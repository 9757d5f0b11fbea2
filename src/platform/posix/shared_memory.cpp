// Named shared mappings on POSIX shared memory. The object is made readable
// and writable by every account whatever the umask, as the Windows side does
// with its null-DACL descriptor, so that a server and its clients under other
// accounts can share it.
//
// The descriptor is closed as soon as the view is mapped: the mapping keeps
// the object alive, and a client holds no descriptor it does not need.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "platform/admit.h"
#include "platform/platform.h"
#include "platform/shared_mapping.h"

namespace tarvik {
namespace plat {

namespace {

std::string ShmName(const char* name) {
    return "/" + ObjectName(name);
}

// Maps all of the object behind `fd` and closes `fd`; null on failure (with
// the last error set).
SharedMapping* MapAll(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0) {
        SetLastErrorCode(errno);
        close(fd);
        return nullptr;
    }
    if (info.st_size <= 0) {
        // Not sized yet (its creator is between creating and sizing it), or
        // left empty: there is nothing to share.
        SetLastErrorCode(ENOENT);
        close(fd);
        return nullptr;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int mapError = errno;
    close(fd);
    if (view == MAP_FAILED) {
        SetLastErrorCode(mapError);
        return nullptr;
    }
    SharedMapping* mapping = new (std::nothrow) SharedMapping{view, size, nullptr};
    if (mapping == nullptr) {
        munmap(view, size);
        SetLastErrorCode(ENOMEM);
    }
    return mapping;
}

}  // namespace

SharedMapping* MappingOpen(const char* name) {
    if (!Admit(inject::kMapping, EACCES)) {
        return nullptr;
    }
    const int fd = shm_open(ShmName(name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        SetLastErrorCode(errno);
        return nullptr;
    }
    return MapAll(fd);
}

SharedMapping* MappingCreate(const char* name, size_t size, bool* existed) {
    if (existed != nullptr) {
        *existed = false;
    }
    if (size == 0 || size > static_cast<size_t>(std::numeric_limits<off_t>::max())) {
        SetLastErrorCode(EINVAL);
        return nullptr;
    }
    if (!Admit(inject::kMapping, EACCES)) {
        return nullptr;
    }
    const std::string shmName = ShmName(name);
    int fd = shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        if (fchmod(fd, 0666) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
            SetLastErrorCode(errno);
            close(fd);
            shm_unlink(shmName.c_str());
            return nullptr;
        }
        SharedMapping* mapping = MapAll(fd);
        if (mapping == nullptr) {
            shm_unlink(shmName.c_str());
        }
        return mapping;
    }
    if (errno != EEXIST) {
        SetLastErrorCode(errno);
        return nullptr;
    }
    fd = shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        SetLastErrorCode(errno);
        return nullptr;
    }
    if (existed != nullptr) {
        *existed = true;
    }
    // An object smaller than asked for (one whose creator has not sized it
    // yet, or died before it could) is grown: bytes already there are kept,
    // and the caller can use all `size` bytes without a fault past the end.
    // posix_fallocate only ever grows, so a creator sizing it at the same
    // moment cannot be undone.
    const int rc = posix_fallocate(fd, 0, static_cast<off_t>(size));
    if (rc != 0) {
        SetLastErrorCode(rc);
        close(fd);
        return nullptr;
    }
    return MapAll(fd);
}

void MappingClose(SharedMapping* mapping) {
    if (mapping == nullptr) {
        return;
    }
    munmap(mapping->view, mapping->size);
    delete mapping;
}

void MappingRemove(const char* name) {
    if (shm_unlink(ShmName(name).c_str()) != 0) {
        SetLastErrorCode(errno);
    }
}

}  // namespace plat
}  // namespace tarvik
