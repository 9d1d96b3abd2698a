// The three help texts of the program.
#pragma once

#include <string>

#include "host/version.h"

// Writes the header lines and the help text that `firstArgument` selects.
void ShowHelp(const TProductIdentity& identity, const std::string& exePath,
              const std::string& firstArgument);
