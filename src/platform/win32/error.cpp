// The calling thread's last system error (GetLastError) and the system's
// text for a code (FormatMessageA in the user's default language).

#include "platform/platform.h"

#include <windows.h>

namespace tarvik {
namespace plat {

namespace {
// LANG_USER_DEFAULT: the user's default language.
constexpr DWORD kUserDefaultLanguage = 0x400;
}  // namespace

int32_t LastErrorCode() {
    return static_cast<int32_t>(GetLastError());
}

void SetLastErrorCode(int32_t code) {
    SetLastError(static_cast<DWORD>(code));
}

bool SystemErrorText(int32_t code, std::string* text) {
    if (text == nullptr) {
        return false;
    }
    const DWORD saved = GetLastError();
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), kUserDefaultLanguage, reinterpret_cast<LPSTR>(&buffer),
        0, nullptr);
    bool found = false;
    if (length > 0 && buffer != nullptr) {
        try {
            text->assign(buffer, length);  // with the line break system texts end with
            found = true;
        } catch (...) {
        }
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    SetLastError(saved);  // asking for a text is no new error
    return found;
}

}  // namespace plat
}  // namespace tarvik
