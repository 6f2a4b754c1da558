// Shared libraries loaded at run time, with the flags each system needs: the
// CUDA driver by its system name, and filter modules by their path.
#pragma once
#include <string>

namespace platform {

// A library the system provides, by its loader name. On Linux the soname
// ("libcuda.so.1"), found by the loader's own search; on Windows ("nvcuda.dll")
// only in the system directory, so that a copy planted beside the host or a
// document is never loaded into the host.
void* OpenSystemLibrary(const char* name, std::string* why = nullptr);

// The library at `path` (UTF-8), its symbols resolved at once and kept to
// itself.
void* OpenLibraryAt(const char* path, std::string* why = nullptr);

// Both open functions return null when the library cannot be loaded, with the
// system's reason in *why when it is given.

// The library's symbol of that name, or null.
void* FindSymbol(void* library, const char* name);

void CloseLibrary(void* library);

}  // namespace platform
