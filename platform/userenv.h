// The process's surroundings: environment variables, the per-user netrc
// file and whether a file is open to other users, standard output, and the
// clock.
#pragma once

#include <string>
#include <vector>

#include "platform/files.h"

namespace plat {

// The value of an environment variable; false when it is not set.
bool GetEnvironment(const char* name, std::string& value);

// Where the user's netrc file is looked for when NETRC is not set, in order
// of preference: ~/.netrc on POSIX; %HOME%\_netrc, then %USERPROFILE%\_netrc
// on Windows. Places whose variable is unset are left out.
std::vector<std::string> NetrcCandidates();

// Whether users other than the owner may read the file (or write it: then
// they could plant a login). Systems without such permission bits say no.
bool FileOpenToOthers(const std::string& path);

// Standard output as a file handle for FileWrite: raw bytes, no line end
// conversion.
FileHandle StandardOutput();

// A moment as the calendar shows it.
struct CalendarTime {
  int year = 0, month = 0, day = 0;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};
CalendarTime LocalNow();
CalendarTime UtcNow();

}  // namespace plat
