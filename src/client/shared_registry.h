// CSharedRegistry: the named mutex "CommonMutex" and the shared mapping
// "Commonm_filemap" through which the servers of this machine are found.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace tarvik {

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
