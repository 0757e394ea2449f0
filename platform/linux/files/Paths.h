#pragma once
// Helpers shared by the file operations.
#include <string>

namespace sorn::files {

// The separator the system's paths use.
constexpr char kSeparator = '/';

// The path with each backslash read as a forward slash.
std::string NativePath(const char* path);

// Copies text into a caller's buffer of size characters with the
// platform's rule for directory queries: the length when it fits with the
// terminator, else nothing written and the size needed, terminator included.
unsigned CopyOut(const std::string& text, unsigned size, char* buffer);

// Whether path names a directory this process may write to and search.
bool IsUsableDirectory(const std::string& path);

}  // namespace sorn::files
