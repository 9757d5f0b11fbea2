#include "client/shared_registry.h"

#include <cstring>
#include <new>

namespace tarvik {

CSharedRegistry::~CSharedRegistry() {
    Close();
}

bool CSharedRegistry::Open() {
    mutex_ = plat::NamedMutexCreate(kMutexName);
    record_ = new (std::nothrow) SharedMappingRecord;
    if (record_ == nullptr) {
        return false;
    }
    record_->name = kMappingName;

    // Go on whether or not the mutex was obtained.
    const bool locked = mutex_ != nullptr && plat::NamedMutexLock(mutex_, kOpenWaitMs);
    for (int attempt = 0; attempt < 2 && record_->mapping == nullptr; ++attempt) {
        record_->mapping = plat::MappingOpen(kMappingName);
    }
    if (record_->mapping == nullptr) {
        bool existed = false;
        record_->mapping = plat::MappingCreate(kMappingName, kMappingSize, &existed);
        // A mapping that another process created between the open attempts and
        // the creation is used as it is, without zeroing it.
        created_ = record_->mapping != nullptr && !existed;
    }
    if (record_->mapping != nullptr) {
        record_->view = static_cast<uint8_t*>(plat::MappingView(record_->mapping));
        record_->size = record_->view != nullptr ? plat::MappingSize(record_->mapping) : 0;
        if (created_ && record_->view != nullptr && record_->size >= 8) {
            std::memset(record_->view, 0, 8);
        }
    }
    if (locked) {
        plat::NamedMutexUnlock(mutex_);
    }
    return true;
}

void CSharedRegistry::Close() {
    if (mutex_ != nullptr) {
        plat::NamedMutexClose(mutex_);
        mutex_ = nullptr;
    }
    if (record_ != nullptr) {
        if (record_->mapping != nullptr) {
            plat::MappingClose(record_->mapping);  // unmaps the view and closes the handle
        }
        delete record_;
        record_ = nullptr;
    }
}

}  // namespace tarvik
