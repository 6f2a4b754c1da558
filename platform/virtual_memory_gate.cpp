#include "platform/virtual_memory_blocks.h"

namespace platform {

bool PageRequestServed() { return true; }

}  // namespace platform
