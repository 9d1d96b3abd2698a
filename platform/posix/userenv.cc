#include "platform/userenv.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

namespace plat {

bool GetEnvironment(const char* name, std::string& value) {
  const char* v = std::getenv(name);
  if (v == nullptr) return false;
  value = v;
  return true;
}

std::vector<std::string> NetrcCandidates() {
  std::string home;
  if (!GetEnvironment("HOME", home) || home.empty()) {
    // A service or a stripped environment: the password database still knows.
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr)
      home = pw->pw_dir;
  }
  if (home.empty()) return {};
  if (home.back() != '/') home += '/';
  return {home + ".netrc"};
}

bool FileOpenToOthers(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IRGRP | S_IROTH | S_IWGRP | S_IWOTH)) != 0;
}

FileHandle StandardOutput() { return STDOUT_FILENO; }

namespace {

CalendarTime Now(bool utc) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::time_t t = tv.tv_sec;
  std::tm parts{};
  if (utc) {
    gmtime_r(&t, &parts);
  } else {
    localtime_r(&t, &parts);
  }
  return {parts.tm_year + 1900,
          parts.tm_mon + 1,
          parts.tm_mday,
          parts.tm_hour,
          parts.tm_min,
          parts.tm_sec,
          static_cast<int>(tv.tv_usec / 1000)};
}

}  // namespace

CalendarTime LocalNow() { return Now(false); }
CalendarTime UtcNow() { return Now(true); }

}  // namespace plat
