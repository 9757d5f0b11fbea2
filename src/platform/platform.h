// The platform seam: everything the core asks of an operating system.
//
// The core never includes an operating-system header; it calls these
// functions and classes, which src/platform/posix/ and src/platform/win32/
// implement with the same file names; what needs no operating system lives
// once beside this header. A need of the core that is not here becomes one
// more small, named function here.
//
// Sections: locks and events; threads; clock and sleep; diagnostics and
// system errors; names shared with other processes; shared mapping; named
// mutex; windows and window messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace tarvik {
namespace plat {

// ---- Locks and events -------------------------------------------------------

// Re-entrant lock, like a critical section: the owning thread may enter again.
class CLock {
  public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
    void Enter();
    void Leave();

  private:
    alignas(16) unsigned char storage_[64];
};

// Scoped hold of a CLock.
class CLockHold {
  public:
    explicit CLockHold(CLock& lock) : lock_(lock) { lock_.Enter(); }
    ~CLockHold() { lock_.Leave(); }
    CLockHold(const CLockHold&) = delete;
    CLockHold& operator=(const CLockHold&) = delete;

  private:
    CLock& lock_;
};

// One value read, or written, under `lock`.
template <typename T>
T LockedGet(CLock& lock, const T& value) {
    CLockHold hold(lock);
    return value;
}
template <typename T, typename V>
void LockedSet(CLock& lock, T& target, const V& value) {
    CLockHold hold(lock);
    target = value;
}

// Auto-reset event: Set wakes one waiter (or the next Wait) and resets itself
// as that wait returns; initially not signalled.
class CEvent {
  public:
    CEvent();
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    void Set();
    void Reset();
    // true when signalled within `milliseconds` (the signal is consumed);
    // false on time-out. A negative time-out waits for ever.
    bool Wait(int32_t milliseconds);
    // Spins for at most `microseconds` while the event is not signalled,
    // without consuming the signal; true when it is signalled, and then a
    // Wait that follows returns at once. Returns false at once when the
    // calling thread may run on one CPU only: spinning there would only keep
    // the CPU from the thread that sets the event.
    bool Spin(int32_t microseconds);
    // false when the system could not make the event (then it must not be
    // relied on).
    bool IsValid() const;

  private:
    struct Impl;
    Impl* impl_;
};

// ---- Threads ----------------------------------------------------------------

// Exit code that a thread reports while it still runs (Windows STILL_ACTIVE).
constexpr uint32_t kStillActive = 259;

using ThreadProc = uint32_t (*)(void* arg);
struct Thread;  // opaque

// Starts proc(arg) on a new thread; null on failure (the system error is then
// the last error, see LastErrorCode). `id` receives a thread id when not null.
Thread* ThreadCreate(ThreadProc proc, void* arg, uint32_t* id);
// true when the thread has ended within `milliseconds`.
bool ThreadWait(Thread* thread, int32_t milliseconds);
// The thread's exit code, or kStillActive while it runs. false if unknown.
bool ThreadExitCode(Thread* thread, uint32_t* code);
// Forced end of a hung thread. Only Windows can do that; on POSIX nothing is
// safe, so this returns false and the thread keeps running.
bool ThreadTerminate(Thread* thread, uint32_t exitCode);
// Releases the handle; a thread still running is detached.
void ThreadClose(Thread* thread);
// Id of the calling thread, comparable with the ids from ThreadCreate.
uint32_t CurrentThreadId();

// ---- Clock and sleep --------------------------------------------------------

// Milliseconds since an arbitrary start, 32 bits, wrapping (GetTickCount).
uint32_t TickCount();
// Test hook: while set, TickCount returns source() instead of the clock.
void SetTickSource(uint32_t (*source)());
void SleepMs(uint32_t milliseconds);

// ---- Local time ---------------------------------------------------------------

// Seconds since 1970-01-01 00:00 UTC broken down into local calendar time.
bool LocalTimeFromSeconds(int64_t seconds, std::tm* out);
// Local calendar time (the six fields of `in`) to seconds since 1970; the C
// library decides daylight saving time.
bool SecondsFromLocalTime(const std::tm& in, int64_t* seconds);

// ---- Diagnostics and system errors -----------------------------------------

// The system's debug output (OutputDebugStringA); stderr on POSIX unless a test
// installs a sink.
void DebugOutput(const char* text);
void SetDebugSink(void (*sink)(const char* text));

// The calling thread's last system error code (GetLastError / errno).
int32_t LastErrorCode();
// Sets the calling thread's last system error code (tests, and the seam itself).
void SetLastErrorCode(int32_t code);
// The system's text for `code`; false when the system knows none.
bool SystemErrorText(int32_t code, std::string* text);

// ---- Names shared with other processes -------------------------------------

// Every name of an object shared with other processes ("Commonm_filemap",
// "CommonMutex", window registrations) is prefixed with this text. Empty in
// the shipped library; tests set it so that parallel runs never meet.
void SetObjectNamePrefix(const char* prefix);
std::string ObjectName(const char* name);

// ---- Shared mapping ---------------------------------------------------------

struct SharedMapping;  // opaque

// Opens the existing mapping `name` (prefixed) read-write; null if none.
SharedMapping* MappingOpen(const char* name);
// Creates `name` with `size` bytes, readable and writable by every account.
// When it exists already, opens it instead and sets *existed.
SharedMapping* MappingCreate(const char* name, size_t size, bool* existed);
void* MappingView(SharedMapping* mapping);
size_t MappingSize(SharedMapping* mapping);
void MappingClose(SharedMapping* mapping);
// Removes the name (POSIX only; Windows drops a mapping with its last handle).
void MappingRemove(const char* name);

// ---- Named mutex ------------------------------------------------------------

struct NamedMutex;  // opaque

// A machine-wide mutex `name` (prefixed), created or opened; null on failure.
// A holder that dies releases it.
NamedMutex* NamedMutexCreate(const char* name);
// true when obtained within `milliseconds`.
bool NamedMutexLock(NamedMutex* mutex, int32_t milliseconds);
void NamedMutexUnlock(NamedMutex* mutex);
void NamedMutexClose(NamedMutex* mutex);

// ---- Windows and window messages ---------------------------------------------
//
// The local transport between processes of one machine. On Windows these are
// real windows and window messages. On POSIX a window is an endpoint with a
// machine-unique positive int32 handle, served by the thread that created it:
// messages posted to it wait in its queue for GetMessage; copy-data messages
// sent to it from any thread or process are handed to its window procedure
// inside that thread's GetMessage, and the procedure's result goes back to
// the sender.

using WindowHandle = int32_t;
using WndProc = intptr_t (*)(WindowHandle window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam);

// The window messages the library uses, numbered as Windows numbers them
// (WM_CREATE, WM_DESTROY, WM_CLOSE, WM_QUIT, WM_COPYDATA).
constexpr uint32_t kMsgCreate = 0x0001;
constexpr uint32_t kMsgDestroy = 0x0002;
constexpr uint32_t kMsgClose = 0x0010;
constexpr uint32_t kMsgQuit = 0x0012;
constexpr uint32_t kMsgCopyData = 0x004A;
// The error of a class registration whose class already exists.
constexpr int32_t kErrorClassAlreadyExists = 1410;

struct WindowMessage {
    WindowHandle window;
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

// The data block of a copy-data message (COPYDATASTRUCT).
struct CopyData {
    uintptr_t dwData;
    uint32_t cbData;
    const void* lpData;
};

// Registers a window class of this process (this library's module on
// Windows). false with last error kErrorClassAlreadyExists when it exists.
bool WindowClassRegister(const char* className, WndProc proc);
bool WindowClassIsKnown(const char* className);
// A hidden top-level window of the class, owned by the calling thread; 0 on
// failure (last error set).
WindowHandle WindowCreate(const char* className, const char* title);
void WindowHide(WindowHandle window);
bool WindowDestroy(WindowHandle window);
// Waits for the next message posted to `window` (dispatching sent messages
// meanwhile). 1: a message; 0: kMsgQuit was taken (its wParam in msg); -1: error.
int32_t WindowGetMessage(WindowMessage* msg, WindowHandle window);
void WindowTranslateMessage(const WindowMessage* msg);
intptr_t WindowDispatchMessage(const WindowMessage* msg);
intptr_t WindowDefaultProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam);
// Posts a message to the window's queue, from any thread or process.
bool WindowPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Sends kMsgCopyData synchronously (SendMessageTimeout with SMTO_BLOCK): true
// when the window's procedure answered within timeoutMs; its answer goes to
// *result.
bool WindowSendCopyData(WindowHandle target, uintptr_t wParam, const CopyData* data,
                        uint32_t timeoutMs, intptr_t* result);
// Whether the handle is a live window. Cheap: link tests call it often.
bool WindowIsWindow(WindowHandle window);

}  // namespace plat
}  // namespace tarvik
