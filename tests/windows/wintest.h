// A minimal test runner for the Windows test host (no GoogleTest build for
// the cross toolchain). Cases register themselves; main runs the ones named
// on the command line (all when none) and ends with "N passed, N failed".
#pragma once
#include <cstdio>
#include <string>

namespace wintest {

using CaseFn = void (*)();
void Register(const char* name, CaseFn fn);
// Records a failed check of the running case.
void Fail(const char* file, int line, const std::string& what);
bool CurrentFailed();
// Options given as --name=value on the command line (empty when absent).
std::string Option(const char* name);

struct Registrar {
    Registrar(const char* name, CaseFn fn) { Register(name, fn); }
};

std::string Describe(long long v);
std::string Describe(unsigned long long v);
std::string Describe(int v);
std::string Describe(unsigned v);
std::string Describe(long v);
std::string Describe(unsigned long v);
std::string Describe(double v);
std::string Describe(const std::string& v);
std::string Describe(const char* v);
std::string Describe(const void* v);
std::string Describe(bool v);

}  // namespace wintest

#define WT_CASE(name)                                                  \
    static void name();                                                \
    static const ::wintest::Registrar name##_registrar(#name, &name);  \
    static void name()

#define WT_CHECK(cond)                                                        \
    do {                                                                      \
        if (!(cond)) ::wintest::Fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
    } while (0)

#define WT_CHECK_EQ(actual, expected)                                                   \
    do {                                                                                \
        const auto& wt_a = (actual);                                                    \
        const auto& wt_e = (expected);                                                  \
        if (!(wt_a == wt_e))                                                            \
            ::wintest::Fail(__FILE__, __LINE__,                                         \
                            #actual " == " #expected ": got " + ::wintest::Describe(wt_a) + \
                                ", want " + ::wintest::Describe(wt_e));                 \
    } while (0)

// Stops the case when a precondition for the rest of it fails.
#define WT_REQUIRE(cond)                                                        \
    do {                                                                        \
        if (!(cond)) {                                                          \
            ::wintest::Fail(__FILE__, __LINE__, "REQUIRE(" #cond ")");          \
            return;                                                             \
        }                                                                       \
    } while (0)
