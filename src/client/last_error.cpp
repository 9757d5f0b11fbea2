#include "client/last_error.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "client/netlink.h"
#include "platform/platform.h"

namespace tarvik {

CLastError::CLastError() {
    std::memset(text_, 0, sizeof text_);
}

int32_t CLastError::Record() {
    return RecordCode(plat::LastErrorCode());
}

int32_t CLastError::RecordCode(int32_t code) {
    std::string system;
    if (plat::SystemErrorText(code, &system)) {
        std::snprintf(text_, sizeof text_, "%d %s", code, system.c_str());
    } else if (const char* reason = NetLinkErrorText(code)) {
        std::snprintf(text_, sizeof text_, "%d %s", code, reason);
    } else {
        std::snprintf(text_, sizeof text_, "%d UnknowErr", code);
    }
    code_ = code;
    return code;
}

void CLastError::RecordText(int32_t code, const char* text) {
    std::snprintf(text_, sizeof text_, "%d %s", code, text != nullptr ? text : "");
    code_ = code;
}

void CLastError::CopyText(char* buffer, int32_t size) const {
    if (buffer == nullptr || size <= 0) {
        return;
    }
    std::memset(buffer, 0, static_cast<size_t>(size));
    // Always leave a terminated text: a short buffer gets the first size - 1
    // characters and a zero.
    const size_t room = static_cast<size_t>(size) - 1;
    const size_t len = std::strlen(text_);
    std::memcpy(buffer, text_, len < room ? len : room);
}

}  // namespace tarvik
