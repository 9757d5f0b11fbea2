#include "connect.h"

#include <cstdlib>

namespace tarvik_cli {

std::string Target::Where() const {
    return local ? std::string("the local server \"db\"")
                 : host + ":" + std::to_string(port) + (backup.empty() ? "" : " or " + backup);
}

bool StartConnect(ITarvikClient* client, const Target& target) {
    client->SetRequestTimeout(target.timeoutMs);
    if (target.local) {
        return client->ConnectLocal();
    }
    std::string backupHost;
    int backupPort = 0;
    if (!target.backup.empty()) {
        const size_t colon = target.backup.rfind(':');
        backupHost = target.backup.substr(0, colon);
        backupPort = std::atoi(target.backup.c_str() + colon + 1);
    }
    return client->ConnectRemote(target.port, target.host.c_str(),
                                 backupHost.empty() ? nullptr : backupHost.c_str(), backupPort);
}

std::string Reason(ITarvikClient* client) {
    char text[256] = {};
    client->GetLastErrorText(text, sizeof text);
    std::string reason(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                               reason.back() == ' ' || reason.back() == '.')) {
        reason.pop_back();
    }
    return reason.empty() ? reason : ": " + reason;
}

}  // namespace tarvik_cli
