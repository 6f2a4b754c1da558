#include "tests/windows/wintest.h"

#include <cstring>
#include <vector>

namespace wintest {
namespace {

struct Case {
    const char* name;
    CaseFn fn;
};

std::vector<Case>& Cases() {
    static std::vector<Case> cases;
    return cases;
}

std::vector<std::string>& Options() {
    static std::vector<std::string> options;
    return options;
}

bool g_currentFailed = false;

bool Selected(const char* name, int argc, char** argv) {
    bool anyName = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0) continue;
        anyName = true;
        if (std::strcmp(argv[i], name) == 0) return true;
    }
    return !anyName;
}

}  // namespace

void Register(const char* name, CaseFn fn) { Cases().push_back({name, fn}); }

void Fail(const char* file, int line, const std::string& what) {
    g_currentFailed = true;
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
}

bool CurrentFailed() { return g_currentFailed; }

std::string Option(const char* name) {
    const std::string prefix = std::string("--") + name + "=";
    for (const std::string& o : Options())
        if (o.compare(0, prefix.size(), prefix) == 0) return o.substr(prefix.size());
    return {};
}

std::string Describe(long long v) { return std::to_string(v); }
std::string Describe(unsigned long long v) { return std::to_string(v); }
std::string Describe(int v) { return std::to_string(v); }
std::string Describe(unsigned v) { return std::to_string(v); }
std::string Describe(long v) { return std::to_string(v); }
std::string Describe(unsigned long v) { return std::to_string(v); }
std::string Describe(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}
std::string Describe(const std::string& v) { return "\"" + v + "\""; }
std::string Describe(const char* v) { return v ? Describe(std::string(v)) : "null"; }
std::string Describe(const void* v) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", v);
    return text;
}
std::string Describe(bool v) { return v ? "true" : "false"; }

}  // namespace wintest

int main(int argc, char** argv) {
    using namespace wintest;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--", 2) == 0) Options().push_back(argv[i]);
    int passed = 0;
    int failed = 0;
    for (const Case& c : Cases()) {
        if (!Selected(c.name, argc, argv)) continue;
        g_currentFailed = false;
        std::printf("[ RUN  ] %s\n", c.name);
        std::fflush(stdout);
        c.fn();
        std::printf("[ %s ] %s\n", g_currentFailed ? "FAIL" : " OK ", c.name);
        std::fflush(stdout);
        (g_currentFailed ? failed : passed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
