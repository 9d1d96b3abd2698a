// Files and the running process.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Opens an existing file for reading, shared with readers only.
FileHandle FileOpenRead(const char* path);
// Opens an existing file for reading without waiting on anything: a FIFO
// with no writer opens at once (and reads as ended). For files that are
// used only when they are regular ones.
FileHandle FileOpenReadNoWait(const char* path);
// Creates (or truncates) a file for writing.
FileHandle FileCreate(const char* path);
std::int32_t FileRead(FileHandle file, void* buffer, std::int32_t count);
std::int32_t FileWrite(FileHandle file, const void* buffer, std::int32_t count);
// origin 0 from the start, 1 from the current position, 2 from the end.
std::int64_t FileSeek(FileHandle file, std::int64_t offset, int origin);
// Asks the system to put what was written to the file on the disk before it
// returns (fsync, FlushFileBuffers), so that it outlives a power loss.
bool FileFlush(FileHandle file);
// False when the system reports an error at the close: some file systems
// (a network one, a full disk) tell of a failed write only there.
bool FileClose(FileHandle file);

// What an open file is: a regular file with a size, a directory (which has
// no content to read), or a stream read until it ends (pipe, FIFO,
// terminal, device).
enum class FileKind : std::uint8_t { kRegular, kDirectory, kStream };
FileKind FileKindOf(FileHandle file);
// The operating system's last error number (errno or GetLastError).
int LastOsError();

// CPU time (user and system) the process has used so far, in seconds.
double ProcessCpuSeconds();

// Full path of the running executable.
std::string ModuleFileName();
// Characters that separate folders in a path.
const char* PathDelimiters();

}  // namespace plat
