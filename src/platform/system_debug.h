// What each system provides beneath the common debug output (debug.cpp).
#pragma once

namespace tarvik {
namespace plat {

// Hands the text to the system's debug output. `sunk`: a test's sink reads
// the same text.
void SystemDebugOutput(const char* text, bool sunk);

}  // namespace plat
}  // namespace tarvik
