#include "platform/cputime.h"

#include <sys/resource.h>

namespace plat {

std::int64_t ProcessCpuMilliseconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto ms = [](const timeval& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000;
  };
  return ms(ru.ru_utime) + ms(ru.ru_stime);
}

}  // namespace plat
