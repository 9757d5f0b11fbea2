// End to end on Windows: tarvik-sim.exe runs as a process of its own and a
// client in this process reaches it, first through the local transport
// (WM_COPYDATA to the window the server registers as "db"), then over TCP on
// the loopback address. Both connections read and write demo points, and
// each sees what the other wrote.
//
//   tarvik_e2e_win32 [PATH-OF-tarvik-sim.exe]
//
// Without an argument the server is looked for beside this program. The
// server gets a private object-name prefix (this process uses the same one),
// so that parallel runs never meet.

#include "platform/platform.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "tarvik/tarvik.h"
#include "wait_until.h"

namespace {

constexpr int kDeadlineMs = 20000;

int g_failures = 0;

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (!(condition)) {                                               \
            std::printf("FAILED at line %d: %s\n", __LINE__, #condition); \
            std::fflush(stdout);                                          \
            ++g_failures;                                                 \
        }                                                                 \
    } while (0)

void Fail(const char* what) {
    std::printf("FAILED: %s\n", what);
    std::fflush(stdout);
    ++g_failures;
}

// ---- The server process ---------------------------------------------------------

// tarvik-sim.exe with its standard output (and error) on a pipe, in a job
// that ends it when this process ends, however that happens.
class SimProcess {
  public:
    ~SimProcess() { Kill(); }

    bool Start(const std::string& exe, const std::string& prefix) {
        SECURITY_ATTRIBUTES inherit{};
        inherit.nLength = sizeof inherit;
        inherit.bInheritHandle = TRUE;
        HANDLE write = nullptr;
        if (!::CreatePipe(&read_, &write, &inherit, 0)) {
            return false;
        }
        ::SetHandleInformation(read_, HANDLE_FLAG_INHERIT, 0);

        job_ = ::CreateJobObjectA(nullptr, nullptr);
        if (job_ != nullptr) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            ::SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits,
                                      sizeof limits);
        }

        std::string command = "\"" + exe + "\" --local --port 0 --name-prefix " + prefix;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = write;
        startup.hStdError = write;
        PROCESS_INFORMATION info{};
        const BOOL started = ::CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE,
                                              CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr,
                                              &startup, &info);
        ::CloseHandle(write);
        if (!started) {
            std::printf("CreateProcessA(%s) failed: %lu\n", exe.c_str(), ::GetLastError());
            return false;
        }
        process_ = info.hProcess;
        if (job_ != nullptr) {
            ::AssignProcessToJobObject(job_, process_);
        }
        ::ResumeThread(info.hThread);
        ::CloseHandle(info.hThread);
        return true;
    }

    // Reads the server's output until it has reported both the port and the
    // window (or ended, or the deadline passed). Echoes every line.
    bool WaitUntilServing(uint16_t* port) {
        const ULONGLONG deadline = ::GetTickCount64() + kDeadlineMs;
        bool havePort = false;
        bool haveWindow = false;
        std::string pending;
        while (!(havePort && haveWindow)) {
            DWORD available = 0;
            if (!::PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) {
                std::printf("the server ended before it was ready\n");
                return false;
            }
            if (available == 0) {
                if (::WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
                    // Ended; what it wrote is still in the pipe.
                    if (::PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) &&
                        available > 0) {
                        continue;
                    }
                    std::printf("the server ended before it was ready\n");
                    return false;
                }
                if (::GetTickCount64() > deadline) {
                    std::printf("the server was not ready within %d ms\n", kDeadlineMs);
                    return false;
                }
                continue;
            }
            char buffer[512];
            DWORD n = 0;
            if (!::ReadFile(read_, buffer, available < sizeof buffer ? available : sizeof buffer,
                            &n, nullptr) ||
                n == 0) {
                return false;
            }
            pending.append(buffer, n);
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                std::printf("server: %s\n", line.c_str());
                unsigned value = 0;
                if (std::sscanf(line.c_str(), "listening on port %u", &value) == 1 && value > 0 &&
                    value < 65536) {
                    *port = static_cast<uint16_t>(value);
                    havePort = true;
                }
                if (line.rfind("registered as \"db\"", 0) == 0) {
                    haveWindow = true;
                }
            }
        }
        std::fflush(stdout);
        return true;
    }

    // The server still serves (it did not end on its own).
    bool Running() const {
        return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
    }

    void Kill() {
        if (process_ != nullptr) {
            ::TerminateProcess(process_, 9);
            ::WaitForSingleObject(process_, kDeadlineMs);
            ::CloseHandle(process_);
            process_ = nullptr;
        }
        if (read_ != nullptr) {
            ::CloseHandle(read_);
            read_ = nullptr;
        }
        if (job_ != nullptr) {
            ::CloseHandle(job_);
            job_ = nullptr;
        }
    }

  private:
    HANDLE process_ = nullptr;
    HANDLE read_ = nullptr;
    HANDLE job_ = nullptr;
};

// ---- The client's states ----------------------------------------------------------

std::mutex g_lock;
std::condition_variable g_changed;
int32_t g_lastState = -1;
bool g_ready = false;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t state) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_lastState = state;
    if (state == CONN_READY) {
        g_ready = true;
    }
    g_changed.notify_all();
}

void ForgetReady() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_ready = false;
}

bool WaitReady() {
    std::unique_lock<std::mutex> hold(g_lock);
    const bool ready =
        g_changed.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [] { return g_ready; });
    if (!ready) {
        std::printf("not ready within %d ms; last state %d\n", kDeadlineMs,
                    static_cast<int>(g_lastState));
    }
    return ready;
}

// ---- One session ----------------------------------------------------------------

struct Items {
    uint32_t indexes[3] = {};
    uint32_t fieldNos[3] = {};
};

bool Resolve(ITarvikClient* client, Items* items) {
    char names[3 * TARVIK_ITEM_NAME] = {};
    std::strcpy(names + 0 * TARVIK_ITEM_NAME, "TANK101.PV");
    std::strcpy(names + 1 * TARVIK_ITEM_NAME, "tank101.sp");  // look-ups ignore case
    std::strcpy(names + 2 * TARVIK_ITEM_NAME, "TANK101.STATE");
    int32_t indexes[3] = {-1, -1, -1};
    int32_t fieldNos[3] = {-1, -1, -1};
    const int32_t n = client->ResolveItemNames(3, names, indexes, fieldNos);
    CHECK(n == 3);
    for (int i = 0; i < 3; ++i) {
        CHECK(indexes[i] >= 0);
        CHECK(fieldNos[i] >= 0);
        items->indexes[i] = static_cast<uint32_t>(indexes[i]);
        items->fieldNos[i] = static_cast<uint32_t>(fieldNos[i]);
    }
    CHECK(items->indexes[0] == items->indexes[1] && items->indexes[1] == items->indexes[2]);
    CHECK(fieldNos[0] == 0 && fieldNos[1] == 1 && fieldNos[2] == 4);
    return n == 3;
}

void FreeTexts(VarValue* values, int count) {
    for (int i = 0; i < count; ++i) {
        if (values[i].tag == VAL_STRING) {
            TarvikFree(values[i].u.strVal);
            values[i].tag = VAL_NONE;
        }
    }
}

// Reads the three items; checks SP and STATE against what the previous
// session wrote (expectState null: no previous session), writes new ones and
// reads them back.
void Session(ITarvikClient* client, const char* name, double expectSp, const char* expectState,
             double writeSp, const char* writeState) {
    std::printf("-- %s: connected, %d points\n", name, static_cast<int>(client->GetPointCount()));
    // The state is stored once the callback that reported it has returned.
    CHECK(tarvik::testwait::WaitUntil([&] { return client->GetState() == CONN_READY; },
                                      std::chrono::milliseconds(kDeadlineMs)));
    CHECK(client->IsLinkUp());
    CHECK(client->GetPointCount() > 0);
    Items items;
    if (!Resolve(client, &items)) {
        return;
    }

    VarValue values[3] = {};
    CHECK(client->ReadValues(3, items.indexes, items.fieldNos, values) == 3);
    CHECK(values[0].tag == VAL_DOUBLE);
    CHECK(values[1].tag == VAL_DOUBLE);
    CHECK(values[2].tag == VAL_STRING);
    if (expectState != nullptr) {
        CHECK(values[1].tag == VAL_DOUBLE && values[1].u.dblVal == expectSp);
        CHECK(values[2].tag == VAL_STRING && values[2].u.strVal != nullptr &&
              std::strcmp(values[2].u.strVal, expectState) == 0);
    }
    std::printf(
        "   read PV %.3f SP %.3f STATE %s\n", values[0].u.dblVal, values[1].u.dblVal,
        values[2].tag == VAL_STRING && values[2].u.strVal != nullptr ? values[2].u.strVal : "?");
    FreeTexts(values, 3);

    VarValue written[2] = {};
    written[0].tag = VAL_DOUBLE;
    written[0].u.dblVal = writeSp;
    written[1].tag = VAL_STRING;
    written[1].u.strVal = static_cast<char*>(TarvikAlloc(TARVIK_TEXT_BLOCK));
    CHECK(written[1].u.strVal != nullptr);
    if (written[1].u.strVal == nullptr) {
        return;
    }
    std::memset(written[1].u.strVal, 0, TARVIK_TEXT_BLOCK);
    std::strncpy(written[1].u.strVal, writeState, TARVIK_TEXT_MAX);
    CHECK(client->WriteValues(2, items.indexes + 1, items.fieldNos + 1, written) == 2);
    FreeTexts(written, 2);

    VarValue back[2] = {};
    CHECK(client->ReadValues(2, items.indexes + 1, items.fieldNos + 1, back) == 2);
    CHECK(back[0].tag == VAL_DOUBLE && back[0].u.dblVal == writeSp);
    CHECK(back[1].tag == VAL_STRING && back[1].u.strVal != nullptr &&
          std::strcmp(back[1].u.strVal, writeState) == 0);
    std::printf("   wrote and read back SP %.3f STATE %s\n",
                back[0].tag == VAL_DOUBLE ? back[0].u.dblVal : 0.0,
                back[1].tag == VAL_STRING && back[1].u.strVal != nullptr ? back[1].u.strVal : "?");
    FreeTexts(back, 2);
    std::fflush(stdout);
}

std::string BesideThisProgram(const char* file) {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n < sizeof path ? n : 0);
    const size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    return dir + file;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string exe = argc > 1 ? argv[1] : BesideThisProgram("tarvik-sim.exe");
    const std::string prefix = "tarvik-e2e-" + std::to_string(::GetCurrentProcessId()) + "-";
    tarvik::plat::SetObjectNamePrefix(prefix.c_str());

    SimProcess sim;
    uint16_t port = 0;
    if (!sim.Start(exe, prefix) || !sim.WaitUntilServing(&port)) {
        std::printf("FAILED: tarvik-sim did not start\n");
        return 1;
    }

    ITarvikClient* client = TarvikCreateClient(1);
    CHECK(client != nullptr);
    if (client == nullptr) {
        return 1;
    }
    client->SetStateCallback(&OnState);

    // The local transport: the server's window in the other process.
    ForgetReady();
    CHECK(client->ConnectLocal());
    if (WaitReady()) {
        Session(client, "local", 0.0, nullptr, 73.25, "E2E-LOCAL");
    } else {
        Fail("the local connection did not become ready");
    }
    client->Disconnect();
    CHECK(!client->IsLinkUp());

    // TCP on the loopback address; this session sees the local one's writes.
    ForgetReady();
    CHECK(client->ConnectRemote(port, "127.0.0.1", nullptr, 0));
    if (WaitReady()) {
        Session(client, "tcp", 73.25, "E2E-LOCAL", 12.5, "E2E-TCP");
    } else {
        Fail("the TCP connection did not become ready");
    }
    client->Disconnect();
    CHECK(!client->IsLinkUp());

    // And the local transport once more, after the TCP session.
    ForgetReady();
    CHECK(client->ConnectLocal());
    if (WaitReady()) {
        Session(client, "local again", 12.5, "E2E-TCP", 50.0, "NORMAL");
    } else {
        Fail("the second local connection did not become ready");
    }
    client->Disconnect();
    TarvikDestroyClient(client);

    CHECK(sim.Running());
    sim.Kill();

    if (g_failures > 0) {
        std::printf("%d check(s) failed\n", g_failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
