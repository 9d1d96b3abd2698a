// The processor time the process has used so far, user and system
// together, in milliseconds. For tests and benchmarks that show a wait is
// a wait, not a busy loop.
#pragma once

#include <cstdint>

namespace plat {
std::int64_t ProcessCpuMilliseconds();
}  // namespace plat
