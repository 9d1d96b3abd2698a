// The posting run: connect, wait for the greeting, assemble and post the
// article, wait for the server's answer, report. Never returns: it ends the
// process with the exit code of the outcome.
#pragma once

#include <cstdint>
#include <string>

#include "app/article.h"
#include "host/version.h"

// The largest article body the program reads, from a file or a pipe: news
// servers refuse far smaller articles, and an endless pipe (/dev/zero) must
// not eat the machine's memory.
constexpr std::uint64_t kArticleLimit = std::uint64_t{64} << 20;

// Puts the posting run's rules on the article file: at most kArticleLimit
// bytes (a larger regular file is refused at once with EArticleFile), and
// reading raises EArticleStopped once the user has stopped the program.
void LimitArticleFile(TArticleFile& file);

[[noreturn]] void RunPosting(const std::string& server, const std::string& author,
                             const std::string& groups, const std::string& subject,
                             const std::string& path, TProductIdentity& identity);
