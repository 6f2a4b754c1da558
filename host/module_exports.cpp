// The entry points live in quelmar_host; nothing else in a module refers to
// them, so this reference is what pulls them (and all they use) into the link.
#include "host/abi.h"

[[gnu::used]] static const void* const kQuelmarEntryPoints[] = {
    reinterpret_cast<const void*>(&VirtualdubFilterModuleInit2),
    reinterpret_cast<const void*>(&VirtualdubFilterModuleDeinit),
};
