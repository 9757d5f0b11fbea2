// CSimServer: scripting. Tests script the server to stay silent, answer with
// a status, leave a command unanswered, drop a connection, or corrupt, prefix
// or split the next reply; Process takes each script as it answers.
#include "sim/sim_server.h"

#include "sim/sim_internal.h"

#include <utility>

namespace tarvik {
namespace sim {

namespace {

bool Matches(int16_t scripted, int16_t command) {
    return scripted == kAnyCommand || scripted == command;
}

}  // namespace

// ---- Scripting ---------------------------------------------------------------------

void CSimServer::SetSilent(bool silent) {
    plat::CLockHold hold(lock_);
    silent_ = silent;
}

void CSimServer::AddScript(Script script) {
    plat::CLockHold hold(lock_);
    scripts_.push_back(std::move(script));
}

void CSimServer::ScriptStatus(int16_t command, int16_t status, bool once) {
    Script s(Action::Status, command, once);
    s.status = status;
    AddScript(std::move(s));
}

void CSimServer::ScriptParamZero(int16_t command, bool once) {
    AddScript(Script(Action::ParamZero, command, once));
}

void CSimServer::ScriptNoAnswer(int16_t command, bool once) {
    AddScript(Script(Action::NoAnswer, command, once));
}

void CSimServer::ScriptDrop(int16_t command, bool once) {
    AddScript(Script(Action::Drop, command, once));
}

void CSimServer::CorruptNextReply(Corruption kind, int16_t command) {
    AddScript(Script(kind == Corruption::Length ? Action::CorruptLength : Action::CorruptMagic,
                     command, true));
}

void CSimServer::GarbageBeforeNextReply(size_t bytes, int16_t command) {
    Script s(Action::Garbage, command, true);
    s.bytes = bytes;
    AddScript(std::move(s));
}

void CSimServer::FalseMarkerBeforeNextReply(int16_t command) {
    AddScript(Script(Action::FalseMarker, command, true));
}

void CSimServer::SplitNextReply(const std::vector<size_t>& fragments, uint32_t pauseMs,
                                int16_t command) {
    Script s(Action::Split, command, true);
    s.fragments = fragments;
    s.pauseMs = pauseMs;
    AddScript(std::move(s));
}

void CSimServer::CutNextReply(size_t bytes, int16_t command) {
    Script s(Action::Cut, command, true);
    s.bytes = bytes;
    AddScript(std::move(s));
}

void CSimServer::ScriptWindowAnswer(intptr_t answer, bool once) {
    plat::CLockHold hold(lock_);
    windowAnswer_ = answer;
    windowAnswerOnce_ = once;
}

void CSimServer::ClearScripts() {
    plat::CLockHold hold(lock_);
    scripts_.clear();
    silent_ = false;
    windowAnswer_ = 1;
    windowAnswerOnce_ = false;
    faultPercent_ = 0;
    faultsLeft_ = 0;
}

bool CSimServer::TakeScript(Action action, int16_t command, Transport transport, Script* out) {
    const bool tcpOnly = action == Action::Garbage || action == Action::FalseMarker ||
                         action == Action::Split || action == Action::Drop || action == Action::Cut;
    if (tcpOnly && transport != Transport::Tcp) {
        return false;
    }
    for (size_t i = 0; i < scripts_.size(); ++i) {
        if (scripts_[i].action == action && Matches(scripts_[i].command, command)) {
            *out = scripts_[i];
            if (scripts_[i].once) {
                scripts_.erase(scripts_.begin() + static_cast<std::ptrdiff_t>(i));
            }
            return true;
        }
    }
    return false;
}

// The scripted distortions of a reply that is ready to go.
void CSimServer::ApplyReplyScripts(int16_t command, Transport transport, size_t payloadLength,
                                   Outgoing* out) {
    Script script;
    if (TakeScript(Action::CorruptLength, command, transport, &script)) {
        StoreI32(out->message.data() + hdr::kPayloadLength,
                 static_cast<int32_t>(payloadLength) + 1);
    }
    if (TakeScript(Action::CorruptMagic, command, transport, &script)) {
        StoreI16(out->message.data() + hdr::kMagic, MSG_MAGIC + 1);
    }
    if (TakeScript(Action::Garbage, command, transport, &script)) {
        out->prefix = Garbage(script.bytes);
    }
    if (TakeScript(Action::FalseMarker, command, transport, &script)) {
        const std::vector<uint8_t> m = FalseMarker();
        out->prefix.insert(out->prefix.end(), m.begin(), m.end());
    }
    if (TakeScript(Action::Split, command, transport, &script)) {
        out->fragments = script.fragments;
        out->pauseMs = script.pauseMs;
    }
    if (TakeScript(Action::Cut, command, transport, &script)) {
        out->cutAfter = script.bytes;
    }
}

}  // namespace sim
}  // namespace tarvik
