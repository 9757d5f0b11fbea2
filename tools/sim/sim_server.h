// CSimServer: the development server. It speaks the server side of the wire
// protocol over TCP (many clients at once) and over the local window
// transport (a window registered as "db" in the shared registry), serves a
// point database, keeps history, moves values on its own when asked, and can
// be scripted by tests to misbehave.
//
// Every public method is thread-safe. Tests start the server in-process; the
// tarvik-sim program wraps it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "session/message.h"
#include "sim/history_store.h"
#include "sim/sim_db.h"

namespace tarvik {
namespace sim {

enum class Transport { Tcp, Local };

// Matches every command in the scripting and waiting calls.
constexpr int16_t kAnyCommand = -1;
// Matches probe records in the waiting calls.
constexpr int16_t kProbeCommand = -2;

// One record the server received.
struct ReceivedMessage {
    uint64_t index = 0;  // position in the log, counting from 0 since Start
    Transport transport = Transport::Tcp;
    int connection = 0;          // TCP connection id; the sender window for local
    uint32_t tick = 0;           // plat::TickCount() at receipt
    bool probe = false;          // a probe record (bytes empty)
    bool valid = false;          // length and magic were right
    std::vector<uint8_t> bytes;  // the message, header included, without marker
    HeaderView header{};         // decoded when bytes hold a whole header
    int16_t command() const { return probe ? kProbeCommand : header.command; }
};

struct ServerOptions {
    bool tcp = true;
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0;         // 0: a free port, see Port()
    bool local = false;        // register a window as "db" in the shared registry
    int32_t simulateMs = 0;    // > 0: random walk of the simulated fields this often
    uint32_t seed = 1;         // of the random walk
    bool serverFlag = false;   // param of login and heartbeat replies
    int32_t directoryGap = 0;  // zero bytes before the point count in the directory
    uint32_t localSendTimeoutMs = 5000;
    // Receives a line per received message and per event when set.
    std::function<void(const std::string&)> log;
};

enum class Corruption { Length, Magic };

class CSimServer {
  public:
    explicit CSimServer(Database db = Database::DemoPlant());
    ~CSimServer();
    CSimServer(const CSimServer&) = delete;
    CSimServer& operator=(const CSimServer&) = delete;

    bool Start(const ServerOptions& options, std::string* error = nullptr);
    void Stop();
    bool Running() const;
    uint16_t Port() const;
    plat::WindowHandle Window() const;

    // ---- Database ------------------------------------------------------------
    // Sets a value as a write would (converted, recorded in history, pushed to
    // subscribers on their next code-20 heartbeat). false for an unknown item.
    bool SetValue(const std::string& point, const std::string& field, const SimValue& value);
    bool GetValue(const std::string& point, const std::string& field, SimValue* value) const;
    // The point is left out of the directory of the next login only.
    bool HidePointForNextLogin(const std::string& point);
    std::vector<HistoryRecord> History(const std::string& point, const std::string& field) const;
    void SetServerFlag(bool on);
    void SetDirectoryGap(int32_t gap);
    // A copy of the database with its current values.
    Database Snapshot() const;

    // ---- Sessions and connections --------------------------------------------
    std::vector<int16_t> ClientIds() const;
    // Forgets every session: the next message of a client gets status 0.
    void VoidSessions();
    std::vector<int> Connections() const;
    // The TCP connection a client's messages last came on; -1 if none.
    int ConnectionOfClient(int16_t clientId) const;
    bool DropConnection(int connection);
    int DropAllConnections();
    // Sends a probe on a TCP connection; true when a probe came back in time.
    bool SendProbe(int connection, uint32_t timeoutMs);
    // Adds or removes the registry entry (the window stays).
    bool SetRegistered(bool registered);
    // Closes the listening socket: connections that are up stay, new ones are
    // refused (a server that went away, for failover tests).
    void StopListening();

    // ---- Received messages -----------------------------------------------------
    std::vector<ReceivedMessage> Received() const;
    // Log position for the next record; pass it as `from` to wait for later ones.
    uint64_t Mark() const;
    size_t CountReceived(int16_t command, uint64_t from = 0) const;
    // Waits for a record of `command` at position >= from.
    bool WaitForMessage(int16_t command, uint32_t timeoutMs, ReceivedMessage* out = nullptr,
                        uint64_t from = 0) const;
    bool WaitForCount(int16_t command, size_t count, uint32_t timeoutMs, uint64_t from = 0) const;
    void ClearReceived();

    // ---- Scripting -------------------------------------------------------------
    // Receive, record, answer nothing (probes included).
    void SetSilent(bool silent);
    // Answer `command` with this status in clientId. A status <= 0 answers
    // without acting and without payload; a positive one only replaces the id.
    void ScriptStatus(int16_t command, int16_t status, bool once = true);
    // Answer with param 0 (writes and history writes are then not applied).
    void ScriptParamZero(int16_t command, bool once = true);
    // Do not answer `command`.
    void ScriptNoAnswer(int16_t command, bool once = true);
    // TCP only: instead of answering `command`, close its connection.
    void ScriptDrop(int16_t command, bool once = true);
    void CorruptNextReply(Corruption kind, int16_t command = kAnyCommand);
    // TCP only: bytes sent right before the next reply's marker.
    void GarbageBeforeNextReply(size_t bytes, int16_t command = kAnyCommand);
    void FalseMarkerBeforeNextReply(int16_t command = kAnyCommand);
    // TCP only: the next reply (marker included) goes out in pieces of these
    // sizes (the rest as a last piece) with pauseMs between them.
    void SplitNextReply(const std::vector<size_t>& fragments, uint32_t pauseMs,
                        int16_t command = kAnyCommand);
    // TCP only: the first `bytes` of the next reply (marker included) go out,
    // then the connection is closed: a link lost in the middle of a message.
    void CutNextReply(size_t bytes, int16_t command = kAnyCommand);
    // Local only: the window procedure answers this (0 makes the client's send
    // fail); the message is then recorded but not acted on when it is 0.
    void ScriptWindowAnswer(intptr_t answer, bool once = true);
    // Random faults for soak tests: each reply meets a fault with probability
    // percent/100, at most maxFaults in all. Deterministic for a given seed
    // and order of messages. percent 0 turns it off.
    void SetRandomFaults(uint32_t seed, uint32_t percent, uint32_t maxFaults);
    uint32_t FaultsInjected() const;
    void ClearScripts();

    // Internal, called by the transports.
    struct Connection;
    void OnTcpRecord(Connection* c, const uint8_t* record, int32_t totalLength);
    intptr_t OnWindowCopyData(const plat::CopyData* data);
    static uint32_t ListenerProc(void* arg);
    static uint32_t ReaderProc(void* arg);
    static uint32_t WindowProc(void* arg);
    static uint32_t SenderProc(void* arg);
    static uint32_t SimulateProc(void* arg);

  private:
    enum class Action {
        Status,
        ParamZero,
        NoAnswer,
        CorruptLength,
        CorruptMagic,
        Garbage,
        FalseMarker,
        Split,
        Drop,
        Cut
    };
    struct Script {
        Script() = default;
        Script(Action a, int16_t c, bool o) : action(a), command(c), once(o) {}
        Action action = Action::Status;
        int16_t command = kAnyCommand;
        bool once = true;
        int16_t status = 0;
        size_t bytes = 0;
        std::vector<size_t> fragments;
        uint32_t pauseMs = 0;
    };
    void AddScript(Script script);  // under the lock
    struct PushItem {
        uint32_t key;
        const uint64_t* version;  // the field's change count
        const SimValue* value;
        uint64_t* sent;  // the change count last pushed
    };
    struct Session {
        int16_t id = 0;
        Transport transport = Transport::Tcp;
        int connection = -1;
        std::vector<int> view;                    // client point index -> database point
        std::map<uint32_t, uint64_t> subscribed;  // Key -> version last sent
        // The subscribed items resolved, in Key order, for the pushes: pointers
        // into the database (which keeps its shape while running) and into
        // `subscribed`; rebuilt whenever `subscribed` changes.
        std::vector<PushItem> pushList;
        bool pushStale = true;
    };
    // What to send back for one message.
    struct Outgoing {
        bool answer = true;
        bool drop = false;
        std::vector<uint8_t> message;
        // TCP: the payload, when it is the kept directory: sent behind
        // message without being copied into it.
        std::shared_ptr<const std::vector<uint8_t>> tail;
        std::vector<uint8_t> prefix;
        std::vector<size_t> fragments;
        uint32_t pauseMs = 0;
        // TCP: only this many bytes of the framed reply go out, then the
        // connection is closed (0: the whole reply).
        size_t cutAfter = 0;
    };
    struct Item {
        int point = -1;
        int field = -1;
    };

    void Log(const std::string& line) const;
    void Record(ReceivedMessage m);
    Outgoing Process(const uint8_t* msg, size_t length, Transport transport, int connection);
    bool TakeScript(Action action, int16_t command, Transport transport, Script* out);
    void ApplyReplyScripts(int16_t command, Transport transport, size_t payloadLength,
                           Outgoing* out);
    void ApplyRandomFault(Outgoing* out, Transport transport);
    bool ResolveItem(const Session& s, uint32_t pointIndex, uint32_t fieldNo, Item* item) const;
    // The item POINT.FIELD by name; the caller holds lock_.
    bool FindItem(const std::string& point, const std::string& field, Item* item) const;
    bool ResolveName(const uint8_t* name32, Item* item) const;
    // record: also into the history (false for the walk's steps in between).
    void ChangeValue(const Item& item, const SimValue& value, uint32_t time, bool record = true);
    int16_t NextClientId();
    void DropSessionsOf(int connection);
    bool StartTcp(std::string* error);
    void StopTcp();
    void SendTcp(Connection* c, const Outgoing& out);
    bool StartLocal(std::string* error);
    void StopLocal();
    bool AddRegistryEntry();
    void RemoveRegistryEntry();
    void SimulateStep();

    // Handlers: fill payload and param; return the clientId status to send.
    // The login's directory: the kept one in *kept when the client sees
    // every point, else in payload.
    int16_t HandleLogin(const HeaderView& h, std::vector<uint8_t>* payload,
                        std::shared_ptr<const std::vector<uint8_t>>* kept, int16_t* param,
                        Transport transport, int connection);
    void HandleCommand(Session& s, const HeaderView& h, const uint8_t* body, size_t length,
                       bool refuseWrites, std::vector<uint8_t>* payload, int16_t* param);

    mutable plat::CLock lock_;
    mutable plat::CEvent received_;
    Database db_;
    HistoryStore history_;
    ServerOptions options_;
    bool running_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> stopListening_{false};

    // Sessions.
    std::map<int16_t, Session> sessions_;
    int16_t lastClientId_ = 0;
    std::vector<int> hiddenOnce_;
    // The directory of a login that sees every point, encoded once (the
    // points never change while the server runs), for the gap it was made with.
    // Shared with the replies still being sent when a new one replaces it.
    std::shared_ptr<const std::vector<uint8_t>> fullDirectory_;
    int32_t fullDirectoryGap_ = -1;

    // Log of received records.
    std::deque<ReceivedMessage> log_;
    uint64_t logNext_ = 0;
    static constexpr size_t kMaxLog = 100000;

    // Scripts.
    bool silent_ = false;
    std::vector<Script> scripts_;
    intptr_t windowAnswer_ = 1;
    bool windowAnswerOnce_ = false;
    uint32_t faultPercent_ = 0;
    uint32_t faultsLeft_ = 0;
    uint32_t faultsInjected_ = 0;
    std::mt19937 faultRng_;
    std::mt19937 walkRng_;
    // Standard normal steps drawn at start: a walk of 100,000 fields every
    // 10 ms cannot afford a fresh normal draw for each.
    static constexpr size_t kWalkNormals = 4096;
    std::vector<double> walkNormals_;
    uint64_t walkSteps_ = 0;

    // TCP.
    intptr_t listener_ = -1;
    uint16_t port_ = 0;
    plat::Thread* listenerThread_ = nullptr;
    std::vector<std::unique_ptr<Connection>> connections_;
    int nextConnection_ = 1;

    // Local.
    struct LocalQueue {
        plat::CLock lock;
        plat::CEvent ready;
        std::deque<std::vector<uint8_t>> items;
    };
    std::unique_ptr<LocalQueue> local_;
    plat::Thread* windowThread_ = nullptr;
    plat::Thread* senderThread_ = nullptr;
    plat::WindowHandle window_ = 0;
    plat::CEvent windowReady_;
    bool windowFailed_ = false;
    plat::NamedMutex* registryMutex_ = nullptr;
    plat::SharedMapping* registry_ = nullptr;
    bool registered_ = false;

    // Simulation.
    plat::Thread* simulateThread_ = nullptr;
    plat::CEvent stopEvent_;
};

}  // namespace sim
}  // namespace tarvik
