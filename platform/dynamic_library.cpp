#include "platform/dynamic_library.h"

#if defined(_WIN32)
#include <windows.h>

#include "platform/wide_text.h"
#else
#include <dlfcn.h>
#endif

namespace platform {
namespace {

#if defined(_WIN32)
void* Opened(HMODULE library, std::string* why) {
    if (library == nullptr && why != nullptr) *why = "error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(library);
}
#else
void* Opened(void* library, std::string* why) {
    if (library == nullptr && why != nullptr) {
        const char* detail = dlerror();
        *why = detail != nullptr ? detail : "unknown error";
    }
    return library;
}
#endif

}  // namespace

#if defined(_WIN32)
void* OpenSystemLibrary(const char* name, std::string* why) {
    return Opened(LoadLibraryExW(WideFromUtf8(name, InvalidUtf8::Refuse).c_str(), nullptr,
                                 LOAD_LIBRARY_SEARCH_SYSTEM32),
                  why);
}

void* OpenLibraryAt(const char* path, std::string* why) {
    const std::wstring wide = WideFromUtf8(path, InvalidUtf8::Refuse);
    if (wide.empty()) {
        if (why != nullptr) *why = "path is not valid UTF-8";
        return nullptr;
    }
    return Opened(LoadLibraryW(wide.c_str()), why);
}

void* FindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* OpenSystemLibrary(const char* name, std::string* why) { return OpenLibraryAt(name, why); }

void* OpenLibraryAt(const char* path, std::string* why) { return Opened(dlopen(path, RTLD_NOW | RTLD_LOCAL), why); }

void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }

void CloseLibrary(void* library) { dlclose(library); }
#endif

}  // namespace platform
