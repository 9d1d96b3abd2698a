// The console as the program writes to it: raw bytes to standard output and
// the platform's line end. Conversion to the console's code page is the
// caller's business (codepage.h).
#pragma once

#include <cstddef>

namespace plat {

// Bytes to standard output (or error), unbuffered and unconverted.
void WriteStdout(const char* data, std::size_t size);
void WriteStderr(const char* data, std::size_t size);
// The line end of the platform's text files and console.
const char* LineEnd();

}  // namespace plat
