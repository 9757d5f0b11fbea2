// Re-entrant lock on a recursive pthread mutex, kept inside the CLock object.
#include <pthread.h>

#include <new>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

static_assert(sizeof(pthread_mutex_t) <= 64, "CLock storage holds a pthread mutex");

namespace {
pthread_mutex_t* Mutex(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace

CLock::CLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

CLock::~CLock() {
    pthread_mutex_destroy(Mutex(storage_));
}

void CLock::Enter() {
    pthread_mutex_lock(Mutex(storage_));
}

void CLock::Leave() {
    pthread_mutex_unlock(Mutex(storage_));
}

}  // namespace plat
}  // namespace tarvik
