#pragma once
// Opening a file for reading only when it is a regular file.
#include <cstdio>

namespace sorn::files {

// Opens path for binary reading when it names a regular file, and writes its
// length at that moment. Others may read and write the file meanwhile.
// The open itself never waits (a FIFO without a writer cannot hold it up).
// Null (length untouched) when the path cannot be opened or names anything
// else: a FIFO would block a reader until a writer came, a device could feed
// it forever, and a directory has no bytes.
std::FILE* OpenRegularFile(const char* path, unsigned long long& length);

}  // namespace sorn::files
