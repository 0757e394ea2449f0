#pragma once
// Helpers the file operations share.
#include <string>

#include "platform/files/Paths.h"

namespace sorn::files {

// Copies text into a caller's buffer of size characters with the
// platform's rule for directory queries: the length when it fits with the
// terminator, else nothing written and the size needed, terminator included.
unsigned CopyOut(const std::string& text, unsigned size, char* buffer);

// Whether path names a directory this process may write to and search.
bool IsUsableDirectory(const std::string& path);

}  // namespace sorn::files
