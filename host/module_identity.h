// The name and description a module registers its filter under. The module
// code is built twice, once per device backend, and a host keeps a filter chain
// by name: each build states its own (module_identity_cpu.cpp,
// module_identity_cuda.cpp, linked with the backend), so both modules can be
// installed side by side and told apart.
#pragma once

extern const char kNRFilterName[];
extern const char kNRFilterDescription[];
