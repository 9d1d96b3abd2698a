// The maintenance switches that the maker's installation process uses.
#pragma once

#include <string>

#include "host/version.h"

// Handles "-nainternet" (publish the program's files, or describe them in a
// setup project) or "-zarejestruj" (a desktop shortcut named after the
// product); returns whether the argument was one of them. The names are
// compared exactly, with case.
bool HandleSwitch(const std::string& argument, const TProductIdentity& identity);
