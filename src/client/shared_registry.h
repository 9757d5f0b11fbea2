// CSharedRegistry: the named mutex "CommonMutex" and the shared mapping
// "Commonm_filemap" through which the servers of this machine are found.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/le.h"
#include "platform/platform.h"

namespace tarvik {

// The registry's layout, written by the servers of the machine and read by
// clients: the int32 entry count at byte 0, then from byte 108 entries of 36
// bytes: int32 window handle, a 24-byte name (zero-terminated unless it fills
// the slot), int32 kind (0: a database server).
namespace registry {
constexpr size_t kHeadSize = 108;
constexpr size_t kEntrySize = 36;
constexpr size_t kNameOffset = 4;
constexpr size_t kNameSize = 24;
constexpr size_t kKindOffset = 28;
constexpr int32_t kKindServer = 0;

inline int32_t EntryCount(const uint8_t* view) {
    return LoadI32(view);
}
inline void SetEntryCount(uint8_t* view, int32_t count) {
    StoreI32(view, count);
}
// Entries that fit a mapping of `size` bytes.
inline int32_t Capacity(size_t size) {
    return size > kHeadSize ? static_cast<int32_t>((size - kHeadSize) / kEntrySize) : 0;
}
inline size_t EntryOffset(int32_t i) {
    return kHeadSize + kEntrySize * static_cast<size_t>(i);
}
inline int32_t EntryWindow(const uint8_t* entry) {
    return LoadI32(entry);
}
inline int32_t EntryKind(const uint8_t* entry) {
    return LoadI32(entry + kKindOffset);
}
inline const uint8_t* EntryName(const uint8_t* entry) {
    return entry + kNameOffset;
}
// Fills an entry: the window, the name (cut to fit with its zero byte) and the kind.
inline void WriteEntry(uint8_t* entry, int32_t window, const char* name, int32_t kind) {
    std::memset(entry, 0, kEntrySize);
    StoreI32(entry, window);
    const size_t n = std::min(std::strlen(name), kNameSize - 1);
    std::memcpy(entry + kNameOffset, name, n);
    StoreI32(entry + kKindOffset, kind);
}
}  // namespace registry

// The mapping record: handle, name and view.
struct SharedMappingRecord {
    plat::SharedMapping* mapping = nullptr;
    const char* name = nullptr;
    uint8_t* view = nullptr;
    size_t size = 0;
};

class CSharedRegistry {
  public:
    static constexpr const char* kMappingName = "Commonm_filemap";
    static constexpr const char* kMutexName = "CommonMutex";
    static constexpr size_t kMappingSize = 2160;
    static constexpr int32_t kOpenWaitMs = 5000;

    CSharedRegistry() = default;
    ~CSharedRegistry();
    CSharedRegistry(const CSharedRegistry&) = delete;
    CSharedRegistry& operator=(const CSharedRegistry&) = delete;

    // Creates the mutex and the mapping record, then under the mutex (waited
    // for up to 5000 ms; construction goes on without it) opens the mapping,
    // trying twice, or creates it with 2160 bytes and zeroes its first two
    // words. false only when memory for the records is short.
    bool Open();
    // Destroys the mutex object, unmaps the view and closes the mapping.
    void Close();
    // Whether both the mutex and a view were obtained.
    bool Complete() const { return mutex_ != nullptr && view() != nullptr; }

    // Null when no view could be obtained: readers then find no server.
    const uint8_t* view() const { return record_ != nullptr ? record_->view : nullptr; }
    size_t size() const { return record_ != nullptr ? record_->size : 0; }
    plat::NamedMutex* mutex() const { return mutex_; }
    // Whether this client created the mapping (and so zeroed it).
    bool created() const { return created_; }

  private:
    SharedMappingRecord* record_ = nullptr;
    plat::NamedMutex* mutex_ = nullptr;
    bool created_ = false;
};

}  // namespace tarvik
