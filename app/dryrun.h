// The dry run: KESTRUN_DRY_RUN=1 shows the article as it would go to the
// server and posts nothing.
#pragma once

#include <string>

#include "app/article.h"
#include "host/version.h"

// Whether the run is a dry run (KESTRUN_DRY_RUN is "1").
bool DryRunWanted();

// Assembles the article as a posting would and writes to standard output
// the bytes that would follow the server's 340, the end marker included,
// then ends the program with exit code 0. No connection is made.
[[noreturn]] void ShowDryRun(const std::string& author, const std::string& groups,
                             const std::string& subject, TArticleFile& file,
                             TProductIdentity& identity);
