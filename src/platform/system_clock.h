// What each system provides beneath the common clock (clock.cpp): the tick
// before a test's source replaces it.
#pragma once

#include <cstdint>

namespace tarvik {
namespace plat {

// The system's own 32-bit millisecond tick, wrapping like GetTickCount.
uint32_t SystemTickCount();

}  // namespace plat
}  // namespace tarvik
