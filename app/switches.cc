#include "app/switches.h"

// Neither switch is handled by this build yet: package publication and the
// desktop shortcut come later, so every argument is an ordinary one.
bool HandleSwitch(const std::string&) { return false; }
