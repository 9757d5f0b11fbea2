// Child processes of the test program, for tests that need a second process
// (a holder that dies, a peer in another process). A test starts this very
// program again with a role; main() runs that role instead of the tests. The
// child shares the parent's object-name prefix, so it meets the parent's
// objects and no one else's.
//
// On POSIX, tests fork instead; this is what stands in for fork on Windows.
#pragma once

#include <cstring>
#include <map>
#include <string>

#include "platform/platform.h"

namespace tarvik {
namespace testchild {

// A role gets its argument and returns the child's exit code.
using Role = int (*)(const char* arg);

inline std::map<std::string, Role>& Roles() {
    static std::map<std::string, Role> roles;
    return roles;
}

// A role, registered at start-up by a test file:
//   const testchild::RegisterRole kHold("hold-mutex", HoldMutex);
struct RegisterRole {
    RegisterRole(const char* name, Role role) { Roles()[name] = role; }
};

constexpr const char* kRoleFlag = "--tarvik-child-role";

// For main(): when the command line is "PROGRAM --tarvik-child-role NAME
// PREFIX ARG", runs the role with the parent's prefix and returns true with
// its exit code.
inline bool RunRole(int argc, char** argv, int* exitCode) {
    if (argc < 5 || std::strcmp(argv[1], kRoleFlag) != 0) {
        return false;
    }
    auto it = Roles().find(argv[2]);
    if (it == Roles().end()) {
        *exitCode = 125;
        return true;
    }
    plat::SetObjectNamePrefix(argv[3]);
    *exitCode = it->second(argv[4]);
    return true;
}

}  // namespace testchild
}  // namespace tarvik

#if defined(_WIN32)
#include <windows.h>

namespace tarvik {
namespace testchild {

// A running child: its process and the read end of its standard output. The
// destructor ends a child that still runs.
class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 10000);
            CloseHandle(process_);
        }
        if (output_ != nullptr) {
            CloseHandle(output_);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts this program running role(arg); arg holds no spaces or quotes.
    bool Start(const char* role, const std::string& arg) {
        char path[MAX_PATH];
        const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
        if (n == 0 || n == sizeof path) {
            return false;
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&output_, &writeEnd, &inherit, 0)) {
            return false;
        }
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        std::string command = std::string("\"") + path + "\" " + kRoleFlag + " " + role + " \"" +
                              plat::ObjectName("") + "\" " + arg;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writeEnd;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION info{};
        const BOOL started = CreateProcessA(path, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                            nullptr, &startup, &info);
        CloseHandle(writeEnd);
        if (!started) {
            return false;
        }
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        return true;
    }

    // One byte of the child's output within timeoutMs; 0 when none came.
    char ReadByte(DWORD timeoutMs) {
        const DWORD start = GetTickCount();
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) {
                return 0;  // the child ended without a word
            }
            if (available > 0) {
                char c = 0;
                DWORD got = 0;
                return ReadFile(output_, &c, 1, &got, nullptr) && got == 1 ? c : 0;
            }
            if (GetTickCount() - start >= timeoutMs) {
                return 0;
            }
            Sleep(1);
        }
    }

    // Ends the child at once, as a crash would, and waits for its end.
    bool Kill() {
        if (process_ == nullptr || !TerminateProcess(process_, 9)) {
            return false;
        }
        return WaitForSingleObject(process_, 10000) == WAIT_OBJECT_0;
    }

    // Waits for the child's own end; its exit code, or -1.
    int Wait(DWORD timeoutMs) {
        DWORD code = 0;
        if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code)) {
            return -1;
        }
        return static_cast<int>(code);
    }

  private:
    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
};

// For a role: tells the parent one byte on standard output.
inline void Tell(char c) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), &c, 1, &written, nullptr);
    FlushFileBuffers(GetStdHandle(STD_OUTPUT_HANDLE));
}

}  // namespace testchild
}  // namespace tarvik
#endif
