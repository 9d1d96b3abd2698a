// Starting outside programs, and the process's own command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

// Runs the outside "compress" tool, found on the program search path, on
// `source` and waits for it without a time limit. On Windows the command line
// is `compress "SOURCE" "TARGET"` in a console window of its own; on POSIX it
// is `compress -c SOURCE` with standard output going to `target` (its
// two-file form would compress in place and delete its input). Returns
// whether the tool could be started; `exitCode` is its exit status.
//
// While it waits, `stopRequested` (when set) is asked whenever the wait is
// interrupted (a signal on POSIX, a message on Windows) and at least four
// times a second; once it answers true the tool is ended at once and
// `exitCode` tells so (never 0): a hung tool must not outlive a Ctrl-C.
bool RunCompressor(const std::string& source, const std::string& target, std::uint32_t* exitCode,
                   const std::function<bool()>& stopRequested = {});

// The command-line arguments of the running process, without its name, as
// the system hands them to an 8-bit program.
std::vector<std::string> CommandLineArguments();

}  // namespace plat
