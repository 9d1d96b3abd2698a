#include "platform/files.h"

#include <cstring>

#include "platform/win32/win.h"

namespace plat {

FileHandle FileOpenRead(const char* path) {
  // "/dev/stdin" is standard input, as on POSIX systems: Windows has no
  // name for it (and under wine the name would open the wine server's own).
  // A copy of the handle, so that closing the file leaves standard input.
  if (std::strcmp(path, "/dev/stdin") == 0) {
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(),
                         &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      return kNoFile;
    }
    return reinterpret_cast<FileHandle>(copy);
  }
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

// Opening a file never waits on Windows: a pipe's name opens or fails.
FileHandle FileOpenReadNoWait(const char* path) { return FileOpenRead(path); }

FileHandle FileCreate(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

std::int32_t FileRead(FileHandle file, void* buffer, std::int32_t count) {
  DWORD n = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &n, nullptr))
    return -1;
  return static_cast<std::int32_t>(n);
}

std::int32_t FileWrite(FileHandle file, const void* buffer, std::int32_t count) {
  DWORD n = 0;
  if (!WriteFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &n, nullptr))
    return -1;
  return static_cast<std::int32_t>(n);
}

std::int64_t FileSeek(FileHandle file, std::int64_t offset, int origin) {
  static const DWORD method[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
  LARGE_INTEGER to, now;
  to.QuadPart = offset;
  if (!SetFilePointerEx(reinterpret_cast<HANDLE>(file), to, &now, method[origin])) return -1;
  return now.QuadPart;
}

bool FileFlush(FileHandle file) { return FlushFileBuffers(reinterpret_cast<HANDLE>(file)) != 0; }

bool FileClose(FileHandle file) {
  return file == kNoFile || CloseHandle(reinterpret_cast<HANDLE>(file)) != 0;
}

FileKind FileKindOf(FileHandle file) {
  HANDLE h = reinterpret_cast<HANDLE>(file);
  if (GetFileType(h) != FILE_TYPE_DISK) return FileKind::kStream;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return FileKind::kDirectory;
  }
  return FileKind::kRegular;
}

int LastOsError() { return static_cast<int>(GetLastError()); }

double ProcessCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto value = [](const FILETIME& f) {
    return static_cast<double>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) |
                               f.dwLowDateTime) /
           1e7;
  };
  return value(kernel) + value(user);
}

std::string ModuleFileName() {
  char buf[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

const char* PathDelimiters() { return "\\/:"; }

}  // namespace plat
