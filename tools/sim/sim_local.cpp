// The local window transport of the server: a window of its own thread,
// registered as "db" (kind 0) in the shared registry. Every WM_COPYDATA block
// is one message; the window procedure records it and hands it to the sender
// thread, which acts on it and answers with WM_COPYDATA to the window named in
// the message's senderWindow field. Answering from the window procedure itself
// would send while the client's send to us is still waiting.
#include <cstring>
#include <deque>
#include <map>

#include "client/shared_registry.h"
#include "sim/sim_server.h"

namespace tarvik {
namespace sim {

namespace {

constexpr const char* kWindowClass = "TarvikSimServer";
constexpr const char* kRegistryName = "db";
// Private message that ends the window thread.
constexpr uint32_t kQuitMessage = 0x0400 + 77;
constexpr int32_t kMutexWaitMs = 10000;
constexpr int32_t kStartWaitMs = 10000;

// Window handle -> server, for the window procedure.
struct WindowMap {
    plat::CLock lock;
    std::map<plat::WindowHandle, CSimServer*> servers;
};
WindowMap& Windows() {
    static WindowMap* map = new WindowMap;  // never destroyed: threads may outlive statics
    return *map;
}

intptr_t SimWndProc(plat::WindowHandle window, uint32_t message, uintptr_t wParam,
                    intptr_t lParam) {
    if (message == plat::kMsgCopyData && lParam != 0) {
        CSimServer* server = nullptr;
        {
            plat::CLockHold hold(Windows().lock);
            auto it = Windows().servers.find(window);
            if (it != Windows().servers.end()) {
                server = it->second;
            }
        }
        if (server != nullptr) {
            return server->OnWindowCopyData(reinterpret_cast<const plat::CopyData*>(lParam));
        }
        return 0;
    }
    return plat::WindowDefaultProc(window, message, wParam, lParam);
}

// Removes entry i of *count, closing the gap and zeroing the freed last entry.
void RemoveEntry(uint8_t* view, int32_t i, int32_t* count) {
    uint8_t* e = view + registry::EntryOffset(i);
    std::memmove(e, e + registry::kEntrySize,
                 registry::kEntrySize * static_cast<size_t>(*count - i - 1));
    --*count;
    std::memset(view + registry::EntryOffset(*count), 0, registry::kEntrySize);
}

}  // namespace

intptr_t CSimServer::OnWindowCopyData(const plat::CopyData* data) {
    std::vector<uint8_t> bytes;
    if (data->lpData != nullptr && data->cbData > 0) {
        const auto* p = static_cast<const uint8_t*>(data->lpData);
        bytes.assign(p, p + data->cbData);
    }
    intptr_t answer = 1;
    {
        plat::CLockHold hold(lock_);
        answer = windowAnswer_;
        if (windowAnswerOnce_) {
            windowAnswer_ = 1;
            windowAnswerOnce_ = false;
        }
        ReceivedMessage m;
        m.transport = Transport::Local;
        m.tick = plat::TickCount();
        m.valid = IsValidMessage(bytes.data(), bytes.size());
        if (bytes.size() >= kHeaderSize) {
            m.header = ReadHeader(bytes.data());
            m.connection = m.header.senderWindow;
        }
        m.bytes = bytes;
        Record(std::move(m));
    }
    if (answer != 0 && local_ != nullptr) {
        plat::CLockHold hold(local_->lock);
        local_->items.push_back(std::move(bytes));
        local_->ready.Set();
    }
    return answer;
}

uint32_t CSimServer::WindowProc(void* arg) {
    auto* self = static_cast<CSimServer*>(arg);
    const bool registered = plat::WindowClassRegister(kWindowClass, &SimWndProc) ||
                            plat::LastErrorCode() == plat::kErrorClassAlreadyExists;
    const plat::WindowHandle window =
        registered ? plat::WindowCreate(kWindowClass, kRegistryName) : 0;
    if (window != 0) {
        plat::CLockHold hold(Windows().lock);
        Windows().servers[window] = self;
    }
    {
        plat::CLockHold hold(self->lock_);
        self->window_ = window;
        self->windowFailed_ = window == 0;
    }
    self->windowReady_.Set();
    if (window == 0) {
        return 1;
    }
    plat::WindowMessage msg{};
    while (plat::WindowGetMessage(&msg, window) == 1) {
        if (msg.message == kQuitMessage) {
            break;
        }
        plat::WindowTranslateMessage(&msg);
        plat::WindowDispatchMessage(&msg);
    }
    {
        plat::CLockHold hold(Windows().lock);
        Windows().servers.erase(window);
    }
    plat::WindowDestroy(window);
    return 0;
}

uint32_t CSimServer::SenderProc(void* arg) {
    auto* self = static_cast<CSimServer*>(arg);
    while (!self->stopping_) {
        self->local_->ready.Wait(100);
        for (;;) {
            std::vector<uint8_t> bytes;
            {
                plat::CLockHold hold(self->local_->lock);
                if (self->local_->items.empty()) {
                    break;
                }
                bytes = std::move(self->local_->items.front());
                self->local_->items.pop_front();
            }
            Outgoing out;
            int32_t target = 0;
            uint32_t timeout = 0;
            {
                plat::CLockHold hold(self->lock_);
                if (bytes.size() >= kHeaderSize) {
                    target = LoadI32(bytes.data() + hdr::kSenderWindow);
                }
                out = self->Process(bytes.data(), bytes.size(), Transport::Local, target);
                timeout = self->options_.localSendTimeoutMs;
            }
            if (!out.answer || out.drop || target == 0) {
                continue;
            }
            plat::CopyData cd{};
            cd.dwData = 1;
            cd.cbData = static_cast<uint32_t>(out.message.size());
            cd.lpData = out.message.data();
            intptr_t result = 0;
            if (!plat::WindowSendCopyData(target, static_cast<uintptr_t>(MSG_MAGIC), &cd, timeout,
                                          &result)) {
                plat::CLockHold hold(self->lock_);
                self->Log("local reply to window " + std::to_string(target) + " failed");
            }
        }
    }
    return 0;
}

bool CSimServer::StartLocal(std::string* error) {
    local_ = std::make_unique<LocalQueue>();
    registryMutex_ = plat::NamedMutexCreate(CSharedRegistry::kMutexName);
    if (registryMutex_ == nullptr) {
        if (error != nullptr) {
            *error = "cannot open the named mutex";
        }
        return false;
    }
    if (plat::NamedMutexLock(registryMutex_, kMutexWaitMs)) {
        registry_ = plat::MappingOpen(CSharedRegistry::kMappingName);
        if (registry_ == nullptr) {
            bool existed = false;
            registry_ = plat::MappingCreate(CSharedRegistry::kMappingName,
                                            CSharedRegistry::kMappingSize, &existed);
            if (registry_ != nullptr && !existed && plat::MappingView(registry_) != nullptr) {
                std::memset(plat::MappingView(registry_), 0, plat::MappingSize(registry_));
            }
        }
        plat::NamedMutexUnlock(registryMutex_);
    }
    if (registry_ == nullptr || plat::MappingView(registry_) == nullptr) {
        if (error != nullptr) {
            *error = "cannot open the shared registry";
        }
        return false;
    }
    senderThread_ = plat::ThreadCreate(&CSimServer::SenderProc, this, nullptr);
    windowReady_.Reset();
    windowThread_ = plat::ThreadCreate(&CSimServer::WindowProc, this, nullptr);
    if (senderThread_ == nullptr || windowThread_ == nullptr || !windowReady_.Wait(kStartWaitMs)) {
        if (error != nullptr) {
            *error = "cannot start the window threads";
        }
        return false;
    }
    {
        plat::CLockHold hold(lock_);
        if (windowFailed_) {
            if (error != nullptr) {
                *error = "cannot create the server window";
            }
            return false;
        }
    }
    if (!AddRegistryEntry()) {
        if (error != nullptr) {
            *error = "the shared registry is full or locked";
        }
        return false;
    }
    return true;
}

void CSimServer::StopLocal() {
    RemoveRegistryEntry();
    plat::WindowHandle window = 0;
    {
        plat::CLockHold hold(lock_);
        window = window_;
    }
    if (windowThread_ != nullptr) {
        if (window != 0) {
            plat::WindowPostMessage(window, kQuitMessage, 0, 0);
        }
        if (!plat::ThreadWait(windowThread_, 5000)) {
            Log("the window thread does not end; left running");
        }
        plat::ThreadClose(windowThread_);
        windowThread_ = nullptr;
    }
    if (senderThread_ != nullptr) {
        local_->ready.Set();
        plat::ThreadWait(senderThread_, -1);
        plat::ThreadClose(senderThread_);
        senderThread_ = nullptr;
    }
    {
        plat::CLockHold hold(lock_);
        window_ = 0;
    }
    if (registry_ != nullptr) {
        plat::MappingClose(registry_);
        registry_ = nullptr;
    }
    if (registryMutex_ != nullptr) {
        plat::NamedMutexClose(registryMutex_);
        registryMutex_ = nullptr;
    }
}

bool CSimServer::SetRegistered(bool registered) {
    if (registry_ == nullptr) {
        return false;
    }
    if (registered) {
        return AddRegistryEntry();
    }
    RemoveRegistryEntry();
    return true;
}

// Appends {window, "db", kind 0} to the registry. Entries named "db" whose
// window is gone (a server that died without removing itself) are dropped
// first, so that clients do not keep finding a dead server before us.
bool CSimServer::AddRegistryEntry() {
    plat::WindowHandle window = 0;
    {
        plat::CLockHold hold(lock_);
        if (registered_) {
            return true;
        }
        window = window_;
    }
    if (registry_ == nullptr || window == 0 ||
        !plat::NamedMutexLock(registryMutex_, kMutexWaitMs)) {
        return false;
    }
    auto* view = static_cast<uint8_t*>(plat::MappingView(registry_));
    const size_t size = plat::MappingSize(registry_);
    const int32_t capacity = registry::Capacity(size);
    int32_t count = std::min(std::max(registry::EntryCount(view), 0), capacity);
    for (int32_t i = 0; i < count;) {
        uint8_t* e = view + registry::EntryOffset(i);
        const char* name = reinterpret_cast<const char*>(registry::EntryName(e));
        const bool stale = registry::EntryKind(e) == registry::kKindServer &&
                           strnlen(name, registry::kNameSize) < registry::kNameSize &&
                           std::strcmp(name, kRegistryName) == 0 &&
                           !plat::WindowIsWindow(registry::EntryWindow(e));
        if (stale) {
            RemoveEntry(view, i, &count);
        } else {
            ++i;
        }
    }
    bool ok = false;
    if (count < capacity) {
        registry::WriteEntry(view + registry::EntryOffset(count), window, kRegistryName,
                             registry::kKindServer);
        ++count;
        ok = true;
    }
    registry::SetEntryCount(view, count);
    plat::NamedMutexUnlock(registryMutex_);
    plat::CLockHold hold(lock_);
    registered_ = ok;
    return ok;
}

void CSimServer::RemoveRegistryEntry() {
    plat::WindowHandle window = 0;
    {
        plat::CLockHold hold(lock_);
        if (!registered_) {
            return;
        }
        registered_ = false;
        window = window_;
    }
    if (registry_ == nullptr || !plat::NamedMutexLock(registryMutex_, kMutexWaitMs)) {
        return;
    }
    auto* view = static_cast<uint8_t*>(plat::MappingView(registry_));
    const size_t size = plat::MappingSize(registry_);
    const int32_t capacity = registry::Capacity(size);
    int32_t count = std::min(std::max(registry::EntryCount(view), 0), capacity);
    for (int32_t i = 0; i < count;) {
        if (registry::EntryWindow(view + registry::EntryOffset(i)) == window) {
            RemoveEntry(view, i, &count);
        } else {
            ++i;
        }
    }
    registry::SetEntryCount(view, count);
    plat::NamedMutexUnlock(registryMutex_);
}

}  // namespace sim
}  // namespace tarvik
