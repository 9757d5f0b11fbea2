// The calling thread's last system error, and the system's text for a code.
//
// The last error is a value of its own rather than errno itself: errno changes
// with every C library call the core makes in between, while this one changes
// only when a seam function fails (or a test sets it), as GetLastError does.
#include <string.h>

#include <cstring>

#include "platform/platform.h"

namespace tarvik {
namespace plat {

namespace {

thread_local int32_t g_lastError = 0;

// strerror_r comes in two shapes: the XSI one returns an int and fills the
// buffer, the GNU one returns the text (which may not be the buffer).
[[maybe_unused]] const char* ErrorTextResult(int rc, const char* buffer) {
    return rc == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ErrorTextResult(const char* text, const char*) {
    return text;
}

[[maybe_unused]] bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Whether the C library knows `code` at all; an unknown code still gets a
// text ("Unknown error N"), which the caller must not show as the system's.
bool IsKnownCode(int32_t code, const char* text) {
    if (code < 0) {
        return false;
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    // Independent of the message language.
    (void)text;
    return strerrorname_np(code) != nullptr;
#else
    return !StartsWith(text, "Unknown error") && std::strcmp(text, "No error information") != 0;
#endif
}

}  // namespace

int32_t LastErrorCode() {
    return g_lastError;
}

void SetLastErrorCode(int32_t code) {
    g_lastError = code;
}

bool SystemErrorText(int32_t code, std::string* text) {
    if (text == nullptr) {
        return false;
    }
    char buffer[256];
    buffer[0] = '\0';
    const char* result = ErrorTextResult(strerror_r(code, buffer, sizeof buffer), buffer);
    if (result == nullptr || result[0] == '\0' || !IsKnownCode(code, result)) {
        return false;
    }
    text->assign(result);
    return true;
}

}  // namespace plat
}  // namespace tarvik
