// CLastError: the client's record of the last system error.
#pragma once

#include <cstdint>

namespace tarvik {

// Codes of the failures the library finds itself (Windows numbers them so).
constexpr int32_t kErrorNotEnoughMemory = 8;
constexpr int32_t kErrorTimeout = 1460;
constexpr int32_t kErrorInvalidOperation = 4317;

class CLastError {
  public:
    static constexpr int32_t kCapacity = 1024;

    CLastError();
    // Records the calling thread's last system error as "%d %s" (with the
    // system's text, which keeps its line break, or the network component's
    // text for its own codes) or "%d UnknowErr"; returns the code.
    int32_t Record();
    // Records a given code (the seam's error, or a test's).
    int32_t RecordCode(int32_t code);
    // Records a failure the library found itself, as "%d %s" with its own
    // text (codes as Windows numbers them, see below).
    void RecordText(int32_t code, const char* text);
    // Copies the text into buffer[size], zero-filled and always terminated
    // within size (size <= 0 or null buffer: nothing).
    void CopyText(char* buffer, int32_t size) const;
    int32_t code() const { return code_; }
    const char* text() const { return text_; }

  private:
    char text_[kCapacity];
    int32_t code_ = 0;
};

}  // namespace tarvik
