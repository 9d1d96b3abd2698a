#include "platform/registry.h"

namespace plat {

// There is no registry here: every lookup falls back on the caller's default.
bool ReadMachineString(const std::string&, const std::string&, std::string*) { return false; }

}  // namespace plat
