#include "platform/files/Paths.h"

#include <algorithm>

namespace sorn::files {

std::string NativePath(const char* path) {
    std::string native = path ? path : "";
    std::replace(native.begin(), native.end(), '/', '\\');
    return native;
}

}  // namespace sorn::files
