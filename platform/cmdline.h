// The command line as text: every character the user typed, in UTF-8.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace plat {

// The program's arguments after its own name (`argc` and `argv` as main got
// them), as UTF-8. A program built for the ANSI code page gets its `argv`
// on Windows with what that code page lacks already replaced by "?", so
// there they are taken from the wide command line; on POSIX `argv` is in
// the locale's encoding (UTF-8 where the locale only knows ASCII) and is
// converted. An argument that is no text in that encoding is std::nullopt:
// nothing ever stands in for a character the user meant.
std::vector<std::optional<std::string>> ArgumentsAsUtf8(int argc, char** argv);

}  // namespace plat
