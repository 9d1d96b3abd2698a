// Values of the system's configuration registry.
#pragma once

#include <string>

namespace plat {

// Reads the string value `name` of the key `key` below HKEY_LOCAL_MACHINE.
// The key is opened for reading only, so an ordinary user gets the value
// too; an expandable string comes back with its variables expanded. False
// when the key or the value is missing or is no string (always on POSIX,
// which has no registry).
bool ReadMachineString(const std::string& key, const std::string& name, std::string* value);

}  // namespace plat
