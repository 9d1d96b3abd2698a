#include "platform/cputime.h"

#include "platform/win32/win.h"

namespace plat {

std::int64_t ProcessCpuMilliseconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& f) {
    return static_cast<std::int64_t>(f.dwHighDateTime) << 32 | f.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) / 10000;  // 100 ns units
}

}  // namespace plat
