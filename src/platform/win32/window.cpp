// Windows and window messages on the Win32 window system.
//
// The seam's handles are the HWND values themselves (32 bits wide on 32-bit
// Windows, and only 32 bits significant anywhere). The seam's window
// procedures take those handles, so every class is registered with one real
// WNDPROC, the trampoline below, which finds the class's procedure by the
// window's class atom and translates the call; for WM_COPYDATA it hands over
// a CopyData built from the COPYDATASTRUCT.
//
// Classes are registered with the module handle of the DLL that holds this
// file, recorded by DllMain; in a program linked statically (the tests) no
// DllMain runs and the program's own handle is used.

#include "platform/admit.h"
#include "platform/platform.h"

#include <windows.h>

#include <atomic>

namespace tarvik {
namespace plat {

static_assert(kMsgCreate == WM_CREATE && kMsgDestroy == WM_DESTROY && kMsgClose == WM_CLOSE &&
                  kMsgQuit == WM_QUIT && kMsgCopyData == WM_COPYDATA,
              "the seam's message numbers are the system's");
static_assert(kErrorClassAlreadyExists == ERROR_CLASS_ALREADY_EXISTS,
              "the seam's class error is the system's");

namespace {

std::atomic<HINSTANCE> g_module{nullptr};

HINSTANCE Module() {
    HINSTANCE module = g_module.load(std::memory_order_acquire);
    return module != nullptr ? module : GetModuleHandleA(nullptr);
}

WindowHandle ToHandle(HWND hwnd) {
    return static_cast<WindowHandle>(reinterpret_cast<uintptr_t>(hwnd));
}

HWND ToHwnd(WindowHandle window) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(window));
}

// The procedures of the classes registered here, by class atom. Classes are
// never unregistered while the module is loaded, so the table only grows.
constexpr int kMaxClasses = 64;
struct ClassEntry {
    ATOM atom;
    WndProc proc;
};
SRWLOCK g_classLock = SRWLOCK_INIT;
ClassEntry g_classes[kMaxClasses];
int g_classCount = 0;

WndProc ProcOf(HWND hwnd) {
    const ATOM atom = static_cast<ATOM>(GetClassWord(hwnd, GCW_ATOM));
    WndProc proc = nullptr;
    AcquireSRWLockShared(&g_classLock);
    for (int i = 0; i < g_classCount; ++i) {
        if (g_classes[i].atom == atom) {
            proc = g_classes[i].proc;
            break;
        }
    }
    ReleaseSRWLockShared(&g_classLock);
    return proc;
}

LRESULT CALLBACK Trampoline(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WndProc proc = ProcOf(hwnd);
    if (proc == nullptr) {
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    if (message == WM_COPYDATA) {
        const auto* block = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (block == nullptr) {
            return proc(ToHandle(hwnd), message, wParam, 0);
        }
        CopyData data;
        data.dwData = block->dwData;
        data.cbData = block->cbData;
        data.lpData = block->lpData;
        return proc(ToHandle(hwnd), message, wParam, reinterpret_cast<intptr_t>(&data));
    }
    return proc(ToHandle(hwnd), message, wParam, lParam);
}

MSG ToMsg(const WindowMessage* msg) {
    MSG m{};
    m.hwnd = ToHwnd(msg->window);
    m.message = msg->message;
    m.wParam = msg->wParam;
    m.lParam = msg->lParam;
    return m;
}

// A library unloaded with FreeLibrary takes its trampoline with it: its
// classes must go first, or a later window of the class would call into
// freed code. (At process exit the system drops them itself.)
void UnregisterClasses() {
    AcquireSRWLockExclusive(&g_classLock);
    for (int i = 0; i < g_classCount; ++i) {
        UnregisterClassA(MAKEINTATOM(g_classes[i].atom), Module());
    }
    g_classCount = 0;
    ReleaseSRWLockExclusive(&g_classLock);
}

}  // namespace

// ---- Classes -------------------------------------------------------------------------

bool WindowClassRegister(const char* className, WndProc proc) {
    if (className == nullptr || proc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = Trampoline;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = Module();
    wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = className;
    wc.hIconSm = wc.hIcon;

    // Registered and entered under the table's lock, so that no window of
    // the class can exist before its procedure is known.
    AcquireSRWLockExclusive(&g_classLock);
    bool registered = false;
    if (g_classCount == kMaxClasses) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        const ATOM atom = RegisterClassExA(&wc);
        if (atom != 0) {
            g_classes[g_classCount++] = ClassEntry{atom, proc};
            registered = true;
        }
    }
    ReleaseSRWLockExclusive(&g_classLock);
    return registered;
}

bool WindowClassIsKnown(const char* className) {
    if (className == nullptr) {
        return false;
    }
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    const DWORD saved = GetLastError();
    const bool known = GetClassInfoExA(Module(), className, &wc) != 0;
    SetLastError(saved);  // "not known" is an answer, not an error
    return known;
}

// ---- Creating and destroying ------------------------------------------------------------

WindowHandle WindowCreate(const char* className, const char* title) {
    if (!Admit(className != nullptr, ERROR_INVALID_PARAMETER, inject::kWindowCreate,
               ERROR_NOT_ENOUGH_MEMORY)) {
        return 0;
    }
    HWND hwnd = CreateWindowExA(WS_EX_OVERLAPPEDWINDOW, className, title != nullptr ? title : "",
                                WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, Module(), nullptr);
    return ToHandle(hwnd);
}

void WindowHide(WindowHandle window) {
    ShowWindow(ToHwnd(window), SW_HIDE);
}

bool WindowDestroy(WindowHandle window) {
    return DestroyWindow(ToHwnd(window)) != 0;
}

// ---- The message loop ----------------------------------------------------------------------

int32_t WindowGetMessage(WindowMessage* msg, WindowHandle window) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    HWND hwnd = ToHwnd(window);
    if (hwnd != nullptr && GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId()) {
        // Not a window of this thread: GetMessageA would wait for ever for
        // messages that only its owner can take.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    MSG m;
    const BOOL rc = GetMessageA(&m, hwnd, 0, 0);
    if (rc == -1) {
        return -1;
    }
    msg->window = ToHandle(m.hwnd);
    msg->message = m.message;
    msg->wParam = m.wParam;
    msg->lParam = m.lParam;
    return rc == 0 ? 0 : 1;
}

void WindowTranslateMessage(const WindowMessage* msg) {
    if (msg != nullptr) {
        const MSG m = ToMsg(msg);
        TranslateMessage(&m);
    }
}

intptr_t WindowDispatchMessage(const WindowMessage* msg) {
    if (msg == nullptr) {
        return 0;
    }
    const MSG m = ToMsg(msg);
    return DispatchMessageA(&m);
}

intptr_t WindowDefaultProc(WindowHandle window, uint32_t message, uintptr_t wParam,
                           intptr_t lParam) {
    if (message == WM_COPYDATA) {
        return 0;  // lParam is the seam's CopyData here; the system would do nothing with it
    }
    return DefWindowProcA(ToHwnd(window), message, wParam, lParam);
}

// ---- The sending side --------------------------------------------------------------------

bool WindowPostMessage(WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (!Admit(inject::kWindowSend, ERROR_NOT_ENOUGH_QUOTA)) {
        return false;
    }
    return PostMessageA(ToHwnd(window), message, wParam, lParam) != 0;
}

bool WindowSendCopyData(WindowHandle target, uintptr_t wParam, const CopyData* data,
                        uint32_t timeoutMs, intptr_t* result) {
    if (data == nullptr || (data->cbData > 0 && data->lpData == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!Admit(inject::kWindowSend, ERROR_TIMEOUT)) {
        return false;
    }
    COPYDATASTRUCT block;
    block.dwData = data->dwData;
    block.cbData = data->cbData;
    block.lpData = const_cast<void*>(data->lpData);
    DWORD_PTR answer = 0;
    const LRESULT rc =
        SendMessageTimeoutA(ToHwnd(target), WM_COPYDATA, wParam, reinterpret_cast<LPARAM>(&block),
                            SMTO_BLOCK, timeoutMs, &answer);
    if (rc == 0) {
        return false;  // timed out, or no such window (the last error says which)
    }
    if (result != nullptr) {
        *result = static_cast<intptr_t>(answer);
    }
    return true;
}

bool WindowIsWindow(WindowHandle window) {
    return window != 0 && IsWindow(ToHwnd(window)) != 0;
}

}  // namespace plat
}  // namespace tarvik

// The library's entry point: records the module that the window class is
// registered with.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        tarvik::plat::g_module.store(instance, std::memory_order_release);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        tarvik::plat::UnregisterClasses();
    }
    return TRUE;
}
