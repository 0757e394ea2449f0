#pragma once
// Path helpers shared with the module's services.
#include <string>

namespace sorn::files {

// The separator the system's paths use.
constexpr char kSeparator = '/';

// The path with each backslash read as a forward slash.
std::string NativePath(const char* path);

}  // namespace sorn::files
