// Auto-reset event: a flag under a mutex with a condition variable. Time-outs
// are measured on the monotonic clock.
#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "platform/inject.h"
#include "platform/platform.h"
#include "platform/posix/monotonic_wait.h"

namespace tarvik {
namespace plat {

struct CEvent::Impl {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool signalled = false;
    bool valid = false;
};

CEvent::CEvent() : impl_(new Impl) {
    pthread_mutex_init(&impl_->mutex, nullptr);
    const int rc = MonotonicCondInit(&impl_->cond);
    impl_->valid = rc == 0 && !inject::Fail(inject::kEvent);
}

bool CEvent::IsValid() const {
    return impl_->valid;
}

CEvent::~CEvent() {
    pthread_cond_destroy(&impl_->cond);
    pthread_mutex_destroy(&impl_->mutex);
    delete impl_;
}

void CEvent::Set() {
    pthread_mutex_lock(&impl_->mutex);
    impl_->signalled = true;
    pthread_cond_signal(&impl_->cond);
    pthread_mutex_unlock(&impl_->mutex);
}

void CEvent::Reset() {
    pthread_mutex_lock(&impl_->mutex);
    impl_->signalled = false;
    pthread_mutex_unlock(&impl_->mutex);
}

bool CEvent::Wait(int32_t milliseconds) {
    pthread_mutex_lock(&impl_->mutex);
    const bool got = WaitForFlag(&impl_->cond, &impl_->mutex, &impl_->signalled, milliseconds);
    impl_->signalled = false;
    pthread_mutex_unlock(&impl_->mutex);
    return got;
}

}  // namespace plat
}  // namespace tarvik
