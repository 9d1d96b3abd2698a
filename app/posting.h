// The posting run: connect, wait for the greeting, assemble and post the
// article, wait for the server's answer, report. Never returns: it ends the
// process with the exit code of the outcome.
#pragma once

#include <string>

#include "host/version.h"

[[noreturn]] void RunPosting(const std::string& server, const std::string& author,
                             const std::string& groups, const std::string& subject,
                             const std::string& path, TProductIdentity& identity);
