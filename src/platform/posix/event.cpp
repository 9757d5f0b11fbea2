// Auto-reset event: a flag under a mutex with a condition variable. Time-outs
// are measured on the monotonic clock.
#include <pthread.h>
#include <time.h>

#include <cerrno>

#include "platform/inject.h"
#include "platform/platform.h"

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
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const int rc = pthread_cond_init(&impl_->cond, &attr);
    pthread_condattr_destroy(&attr);
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
    if (milliseconds < 0) {
        while (!impl_->signalled) {
            pthread_cond_wait(&impl_->cond, &impl_->mutex);
        }
    } else {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += milliseconds / 1000;
        deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (!impl_->signalled) {
            if (pthread_cond_timedwait(&impl_->cond, &impl_->mutex, &deadline) == ETIMEDOUT) {
                break;
            }
        }
    }
    const bool got = impl_->signalled;
    impl_->signalled = false;
    pthread_mutex_unlock(&impl_->mutex);
    return got;
}

}  // namespace plat
}  // namespace tarvik
