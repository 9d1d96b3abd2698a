// Folder helpers of the runtime.
#pragma once

#include <string>

// The folder part of a path: everything up to and including its last folder
// separator (or, on Windows, drive colon).
std::string ExtractFilePath(const std::string& path);
bool DirectoryExists(const std::string& path);
// Creates a folder together with every missing parent; true when it exists
// afterwards. Raises Exception "Unable to create directory" for an empty path.
bool ForceDirectories(const std::string& path);
// The text with the platform's folder separator appended, unless it is empty
// or ends with one already.
std::string IncludeTrailingSeparator(const std::string& path);
