// CSimServer: its life cycle, the point database it serves (with the random
// walk of simulated fields) and its sessions. The other concerns have files
// of their own: sim_protocol.cpp answers messages, sim_scripts.cpp and
// sim_faults.cpp make replies misbehave on request or at random, sim_log.cpp
// keeps the log of received messages, sim_tcp.cpp and sim_local.cpp are the
// two transports.
//
// Every message is acted on under the server's lock; replies are written
// outside it, under the lock of their connection only (lock order: server
// lock, then connection lock).
#include "sim/sim_server.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sim/sim_internal.h"

namespace tarvik {
namespace sim {

// ---- Life cycle ---------------------------------------------------------------

CSimServer::CSimServer(Database db) : db_(std::move(db)) {}

CSimServer::~CSimServer() {
    Stop();
}

bool CSimServer::Start(const ServerOptions& options, std::string* error) {
    {
        plat::CLockHold hold(lock_);
        if (running_) {
            if (error != nullptr) {
                *error = "already running";
            }
            return false;
        }
        options_ = options;
        stopping_ = false;
        stopListening_ = false;
        walkRng_.seed(options.seed);
        std::normal_distribution<double> normal(0.0, 1.0);
        walkNormals_.resize(kWalkNormals);
        for (double& n : walkNormals_) {
            n = normal(walkRng_);
        }
    }
    stopEvent_.Reset();
    if (options.tcp && !StartTcp(error)) {
        return false;
    }
    running_ = true;
    if (options.local && !StartLocal(error)) {
        Stop();
        return false;
    }
    if (options.simulateMs > 0) {
        simulateThread_ = plat::ThreadCreate(&CSimServer::SimulateProc, this, nullptr);
    }
    return true;
}

void CSimServer::Stop() {
    {
        plat::CLockHold hold(lock_);
        if (!running_) {
            return;
        }
        stopping_ = true;
    }
    stopEvent_.Set();
    if (simulateThread_ != nullptr) {
        plat::ThreadWait(simulateThread_, -1);
        plat::ThreadClose(simulateThread_);
        simulateThread_ = nullptr;
    }
    StopLocal();
    StopTcp();
    plat::CLockHold hold(lock_);
    sessions_.clear();
    running_ = false;
}

bool CSimServer::Running() const {
    plat::CLockHold hold(lock_);
    return running_;
}

uint16_t CSimServer::Port() const {
    plat::CLockHold hold(lock_);
    return port_;
}

plat::WindowHandle CSimServer::Window() const {
    plat::CLockHold hold(lock_);
    return window_;
}

void CSimServer::Log(const std::string& line) const {
    if (options_.log) {
        options_.log(line);
    }
}

// ---- Database -------------------------------------------------------------------

bool CSimServer::SetValue(const std::string& point, const std::string& field,
                          const SimValue& value) {
    plat::CLockHold hold(lock_);
    Item item;
    if (!FindItem(point, field, &item)) {
        return false;
    }
    ChangeValue(item, value, NowSeconds());
    return true;
}

bool CSimServer::GetValue(const std::string& point, const std::string& field,
                          SimValue* value) const {
    plat::CLockHold hold(lock_);
    Item item;
    if (!FindItem(point, field, &item)) {
        return false;
    }
    *value = db_.points[item.point].values[item.field];
    return true;
}

bool CSimServer::HidePointForNextLogin(const std::string& point) {
    plat::CLockHold hold(lock_);
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return false;
    }
    hiddenOnce_.push_back(p);
    return true;
}

std::vector<HistoryRecord> CSimServer::History(const std::string& point,
                                               const std::string& field) const {
    plat::CLockHold hold(lock_);
    Item item;
    if (!FindItem(point, field, &item)) {
        return {};
    }
    return history_.Range(item.point, db_.TypeOf(item.point).fields[item.field].fieldNo, 0,
                          UINT32_MAX, HistoryStore::kMaxPerItem);
}

void CSimServer::SetServerFlag(bool on) {
    plat::CLockHold hold(lock_);
    options_.serverFlag = on;
}

void CSimServer::SetDirectoryGap(int32_t gap) {
    plat::CLockHold hold(lock_);
    options_.directoryGap = gap;
}

Database CSimServer::Snapshot() const {
    plat::CLockHold hold(lock_);
    return db_;
}

void CSimServer::ChangeValue(const Item& item, const SimValue& value, uint32_t time, bool record) {
    PointInfo& p = db_.points[item.point];
    const FieldInfo& f = db_.types[p.typeIndex].fields[item.field];
    p.values[item.field] = ConvertValue(value, f.valueType);
    ++p.versions[item.field];
    if (!record) {
        return;
    }
    HistoryRecord r;
    r.time = time;
    r.value = static_cast<float>(p.values[item.field].AsNumber());
    history_.Record(item.point, f.fieldNo, r);
}

void CSimServer::SimulateStep() {
    plat::CLockHold hold(lock_);
    const uint32_t now = NowSeconds();
    // History keeps seconds: a walk faster than once a second records each
    // field about once a second, the fields spread over the steps, so that a
    // large walk every few milliseconds stays cheap.
    const uint64_t every = static_cast<uint64_t>(
        std::max<int32_t>(1, 1000 / std::max<int32_t>(1, options_.simulateMs)));
    uint64_t slot = walkSteps_++;
    for (size_t p = 0; p < db_.points.size(); ++p) {
        const TypeInfo& t = db_.types[db_.points[p].typeIndex];
        for (size_t f = 0; f < t.fields.size(); ++f) {
            const FieldInfo& fi = t.fields[f];
            if (!fi.simulate || fi.valueType != VAL_DOUBLE) {
                continue;
            }
            const double v = db_.points[p].values[f].d;
            const bool ranged = fi.max > fi.min;
            const double range = ranged ? fi.max - fi.min : std::max(1.0, std::fabs(v));
            // A normal step from the table, picked by one cheap draw.
            double next = v + range * 0.005 * walkNormals_[walkRng_() & (kWalkNormals - 1)];
            if (ranged) {
                next = std::min(fi.max, std::max(fi.min, next));
            }
            PointInfo& point = db_.points[p];
            if (slot++ % every != 0 && point.values[f].type == VAL_DOUBLE) {
                point.values[f].d = next;  // what ChangeValue does, without the history
                ++point.versions[f];
                continue;
            }
            ChangeValue(Item{static_cast<int>(p), static_cast<int>(f)}, SimValue::Double(next),
                        now);
        }
    }
}

uint32_t CSimServer::SimulateProc(void* arg) {
    auto* self = static_cast<CSimServer*>(arg);
    const int32_t period = std::max<int32_t>(1, self->options_.simulateMs);
    while (!self->stopping_) {
        if (self->stopEvent_.Wait(period)) {
            break;
        }
        self->SimulateStep();
    }
    return 0;
}

// ---- Sessions ---------------------------------------------------------------------

std::vector<int16_t> CSimServer::ClientIds() const {
    plat::CLockHold hold(lock_);
    std::vector<int16_t> ids;
    for (const auto& s : sessions_) {
        ids.push_back(s.first);
    }
    return ids;
}

void CSimServer::VoidSessions() {
    plat::CLockHold hold(lock_);
    sessions_.clear();
}

int16_t CSimServer::NextClientId() {
    for (int tries = 0; tries < 32767; ++tries) {
        lastClientId_ = static_cast<int16_t>(lastClientId_ >= 32767 ? 1 : lastClientId_ + 1);
        if (sessions_.find(lastClientId_) == sessions_.end()) {
            return lastClientId_;
        }
    }
    return 0;
}

void CSimServer::DropSessionsOf(int connection) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second.transport == Transport::Tcp && it->second.connection == connection) {
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

bool CSimServer::ResolveItem(const Session& s, uint32_t pointIndex, uint32_t fieldNo,
                             Item* item) const {
    if (pointIndex >= s.view.size() || fieldNo > 255) {
        return false;
    }
    const int p = s.view[pointIndex];
    const int f = db_.TypeOf(p).FieldByNo(fieldNo);
    if (f < 0) {
        return false;
    }
    *item = Item{p, f};
    return true;
}

// "POINT.FIELD" in a 32-byte name field; a name without a dot means PV.
bool CSimServer::ResolveName(const uint8_t* name32, Item* item) const {
    const std::string text(reinterpret_cast<const char*>(name32),
                           strnlen(reinterpret_cast<const char*>(name32), 32));
    const size_t dot = text.find('.');
    const std::string point = text.substr(0, dot);
    const std::string field = dot == std::string::npos ? "PV" : text.substr(dot + 1);
    return FindItem(point, field, item);
}

bool CSimServer::FindItem(const std::string& point, const std::string& field, Item* item) const {
    const int p = db_.PointIndex(point);
    if (p < 0) {
        return false;
    }
    const int f = db_.TypeOf(p).FieldByName(field);
    if (f < 0) {
        return false;
    }
    *item = Item{p, f};
    return true;
}

}  // namespace sim
}  // namespace tarvik
