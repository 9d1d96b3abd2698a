// Folders, file names and file dates.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace plat {

bool DirectoryExists(const std::string& path);
// Creates one folder; its parent must exist.
bool CreateDir(const std::string& path);
bool FileExists(const std::string& path);
bool RemoveFile(const std::string& path);
// Gives the file `from` the name `to`, replacing a file of that name; within
// one folder the name changes in one step, so `to` is never missing or
// partly written meanwhile. On Windows the change is on the disk when it
// returns; on POSIX it is once FlushFolder has been called for the folder.
bool RenameReplacing(const std::string& from, const std::string& to);
// Puts the folder's own changes (names made, renamed or removed in it) on
// the disk. A file system that cannot flush a folder counts as done.
bool FlushFolder(const std::string& folder);
// The system's own text for an error number of LastOsError, without a
// trailing line end.
std::string OsErrorText(int code);
// Length of a file in bytes; -1 when it cannot be read.
std::int64_t FileLength(const std::string& path);

// Opens an existing file for reading while others may go on reading and
// writing it.
FileHandle FileOpenReadShared(const char* path);

// The short (8.3) form of an existing path; the path itself where the system
// has no short form or cannot give one.
std::string ShortPathName(const std::string& path);

// Creates a new, empty file with a unique name in `folder` (which ends with a
// separator) beginning with `prefix`; returns its name, empty on failure.
std::string TempFileName(const std::string& folder, const std::string& prefix);

// A file's last-write time as the local clock showed it.
struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
// False when the file cannot be opened.
bool FileLastWriteLocal(const std::string& path, LocalTime* out);

}  // namespace plat
