// Assembly of the article text: the fixed header block, an empty line and
// the article file, with the transparency rule of NNTP applied to lines
// that begin with a dot.
#pragma once

#include <string>
#include <vector>

#include "host/version.h"
#include "rtl/classes.h"

// One line (without its line end) with a leading dot doubled, then CR LF.
void AddArticleLine(TStream& article, const std::string& line);

// Header values that could add header lines or end the article early
// (CR, LF or NUL) are refused with an Exception naming the argument.
void CheckHeaderArguments(const std::string& author, const std::string& groups,
                          const std::string& subject);

// A header line's value in the form the server accepts: pure ASCII as it
// is; otherwise RFC 2047 encoded-words in Windows-1250 (in From only the
// display name), folded so that no line exceeds 78 characters. Returns the
// lines, the first one starting with the header name.
std::vector<std::string> HeaderLines(const std::string& name, const std::string& value,
                                     bool isAddress);

// Writes the whole article into `article` and leaves it positioned at 0.
// Raises "Cannot open file <path>" when the file cannot be opened.
void AssembleArticle(TStream& article, const std::string& author, const std::string& groups,
                     const std::string& subject, const std::string& path,
                     const TProductIdentity& identity);
