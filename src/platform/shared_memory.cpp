// The view of a shared mapping and its size, the same on every system.
#include "platform/shared_mapping.h"

namespace tarvik {
namespace plat {

void* MappingView(SharedMapping* mapping) {
    return mapping != nullptr ? mapping->view : nullptr;
}

size_t MappingSize(SharedMapping* mapping) {
    return mapping != nullptr ? mapping->size : 0;
}

}  // namespace plat
}  // namespace tarvik
