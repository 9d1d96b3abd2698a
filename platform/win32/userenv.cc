#include "platform/userenv.h"

#include "platform/win32/win.h"

namespace plat {

bool GetEnvironment(const char* name, std::string& value) {
  DWORD n = GetEnvironmentVariableA(name, nullptr, 0);
  if (n == 0) return false;
  std::string buf(n, '\0');
  n = GetEnvironmentVariableA(name, buf.data(), n);
  buf.resize(n);
  value = buf;
  return true;
}

std::vector<std::string> NetrcCandidates() {
  std::vector<std::string> out;
  for (const char* var : {"HOME", "USERPROFILE"}) {
    std::string dir;
    if (!GetEnvironment(var, dir) || dir.empty()) continue;
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    out.push_back(dir + "_netrc");
  }
  return out;
}

// Windows keeps access in lists rather than mode bits; a user's profile
// folder is private to that user already.
bool FileOpenToOthers(const std::string&) { return false; }

FileHandle StandardOutput() {
  return reinterpret_cast<FileHandle>(GetStdHandle(STD_OUTPUT_HANDLE));
}

namespace {

CalendarTime FromSystemTime(const SYSTEMTIME& st) {
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace

CalendarTime LocalNow() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return FromSystemTime(st);
}

CalendarTime UtcNow() {
  SYSTEMTIME st;
  GetSystemTime(&st);
  return FromSystemTime(st);
}

}  // namespace plat
