// Shared libraries loaded at run time: by system name and by path, symbols,
// and the reason a load fails.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/dynamic_library.h"

namespace {

TEST(DynamicLibrary, OpensBySonameAndFindsItsSymbols) {
    std::string why = "untouched";
    void* libc = platform::OpenSystemLibrary("libc.so.6", &why);
    ASSERT_NE(libc, nullptr) << why;
    EXPECT_EQ(why, "untouched") << "a reason only for a failure";
    auto* length = reinterpret_cast<std::size_t (*)(const char*)>(platform::FindSymbol(libc, "strlen"));
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length("four"), 4u);
    EXPECT_EQ(platform::FindSymbol(libc, "no_such_symbol_anywhere"), nullptr);
    platform::CloseLibrary(libc);
}

TEST(DynamicLibrary, AMissingLibrarySaysWhy) {
    std::string why;
    EXPECT_EQ(platform::OpenLibraryAt("/nonexistent/folder/libnothing.so", &why), nullptr);
    EXPECT_NE(why.find("libnothing.so"), std::string::npos) << why;
    EXPECT_EQ(platform::OpenSystemLibrary("libnothing-at-all.so.1"), nullptr) << "no reason asked for";
}

}  // namespace
