// The maintenance switches that the maker's installation process uses.
#pragma once

#include <string>

// Handles "-nainternet" or "-zarejestruj"; returns whether the argument was
// one of them.
bool HandleSwitch(const std::string& argument);
