// The console as the program writes to it: raw bytes to standard output and
// the platform's line end. Conversion to the console's code page is the
// caller's business (codepage.h).
#pragma once

#include <cstddef>
#include <string>

namespace plat {

// Bytes to standard output (or error), unbuffered and unconverted.
void WriteStdout(const char* data, std::size_t size);
void WriteStderr(const char* data, std::size_t size);
// Characters to standard output (or error) when it is a console that takes
// characters (a Windows console, wine's included), so that every letter
// shows whatever the console's code page; false, and nothing written, when
// it is not (a file, a pipe, a POSIX terminal, which takes bytes).
bool WriteStdoutChars(const std::u16string& text);
bool WriteStderrChars(const std::u16string& text);
// The line end of the platform's text files and console.
const char* LineEnd();

}  // namespace plat
