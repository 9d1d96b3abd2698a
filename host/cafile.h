// KESTRUN_CA_FILE: a PEM bundle that the programs trust instead of the
// system's store (for tests and private servers).
#pragma once

#include <string>

constexpr const char* kCaFileVariable = "KESTRUN_CA_FILE";

enum class TCaFileSetting { Unset, Usable, Unreadable, NoCertificates };

// Unset (or empty): the system's store. Otherwise `path` is the value, and
// the file is Usable when it can be read and holds a PEM certificate.
TCaFileSetting CaFileFromEnvironment(std::string& path);
