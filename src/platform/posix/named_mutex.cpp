// Machine-wide named mutex: an exclusive flock on a file in the shared-memory
// file system. The kernel drops the lock when its holder's descriptor goes,
// so a holder that dies (even by SIGKILL) releases it, as an abandoned
// Windows mutex does. Each object opens its own descriptor, so two objects
// of one name exclude each other even inside one process.
//
// A flock belongs to the descriptor, not to a thread, so the object itself
// also records its owning thread: other threads of the process using the same
// object wait for it, and the owner may take it again (once per release), as
// with a Windows mutex.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "platform/admit.h"
#include "platform/platform.h"
#include "platform/posix/monotonic_wait.h"

namespace tarvik {
namespace plat {

struct NamedMutex {
    int fd = -1;
    pthread_mutex_t mutex;
    pthread_cond_t released;  // on the monotonic clock
    uint32_t owner = 0;       // CurrentThreadId of the holder, 0 when free
    uint32_t depth = 0;
};

namespace {

// How often a timed lock asks again while another process holds the file.
constexpr long kPollNanoseconds = 1000000L;

bool Before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Takes the file lock, polling until `deadline` (or for ever when null).
bool LockFile(int fd, const timespec* deadline) {
    if (deadline == nullptr) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                SetLastErrorCode(errno);
                return false;
            }
        }
        return true;
    }
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            SetLastErrorCode(errno);
            return false;
        }
        if (!Before(MonotonicNow(), *deadline)) {
            SetLastErrorCode(ETIMEDOUT);
            return false;
        }
        timespec pause{0, kPollNanoseconds};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

NamedMutex* NamedMutexCreate(const char* name) {
    if (!Admit(inject::kNamedMutex, EACCES)) {
        return nullptr;
    }
    const std::string path = "/dev/shm/" + ObjectName(name) + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EACCES) {
        // Another account's file that it did not open to us for writing: a
        // lock needs no write access.
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        SetLastErrorCode(errno);
        return nullptr;
    }
    // Open to every account whatever the umask; fails harmlessly when the
    // file belongs to another account.
    (void)fchmod(fd, 0666);
    NamedMutex* mutex = new (std::nothrow) NamedMutex;
    if (mutex == nullptr) {
        close(fd);
        SetLastErrorCode(ENOMEM);
        return nullptr;
    }
    mutex->fd = fd;
    pthread_mutex_init(&mutex->mutex, nullptr);
    MonotonicCondInit(&mutex->released);
    return mutex;
}

bool NamedMutexLock(NamedMutex* mutex, int32_t milliseconds) {
    if (!Admit(mutex != nullptr, EINVAL, inject::kNamedMutex, ETIMEDOUT)) {
        return false;
    }
    const uint32_t me = CurrentThreadId();
    const timespec deadline = AddMilliseconds(MonotonicNow(), milliseconds < 0 ? 0 : milliseconds);
    const timespec* until = milliseconds < 0 ? nullptr : &deadline;

    pthread_mutex_lock(&mutex->mutex);
    if (mutex->owner == me) {
        ++mutex->depth;
        pthread_mutex_unlock(&mutex->mutex);
        return true;
    }
    while (mutex->owner != 0) {
        if (until == nullptr) {
            pthread_cond_wait(&mutex->released, &mutex->mutex);
        } else if (pthread_cond_timedwait(&mutex->released, &mutex->mutex, until) == ETIMEDOUT &&
                   mutex->owner != 0) {
            pthread_mutex_unlock(&mutex->mutex);
            SetLastErrorCode(ETIMEDOUT);
            return false;
        }
    }
    mutex->owner = me;  // claimed inside the process; now the machine
    pthread_mutex_unlock(&mutex->mutex);

    const bool locked = LockFile(mutex->fd, until);

    pthread_mutex_lock(&mutex->mutex);
    if (locked) {
        mutex->depth = 1;
    } else {
        mutex->owner = 0;
        pthread_cond_signal(&mutex->released);
    }
    pthread_mutex_unlock(&mutex->mutex);
    return locked;
}

void NamedMutexUnlock(NamedMutex* mutex) {
    if (mutex == nullptr) {
        return;
    }
    pthread_mutex_lock(&mutex->mutex);
    if (mutex->owner != CurrentThreadId() || mutex->depth == 0) {
        // Not held by this thread: nothing to release (ReleaseMutex fails).
        pthread_mutex_unlock(&mutex->mutex);
        SetLastErrorCode(EPERM);
        return;
    }
    if (--mutex->depth == 0) {
        flock(mutex->fd, LOCK_UN);
        mutex->owner = 0;
        pthread_cond_signal(&mutex->released);
    }
    pthread_mutex_unlock(&mutex->mutex);
}

void NamedMutexClose(NamedMutex* mutex) {
    if (mutex == nullptr) {
        return;
    }
    close(mutex->fd);  // drops the file lock if still held
    pthread_cond_destroy(&mutex->released);
    pthread_mutex_destroy(&mutex->mutex);
    delete mutex;
}

}  // namespace plat
}  // namespace tarvik
