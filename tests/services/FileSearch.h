#pragma once
// Every entry a directory search reports, through the platform's calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Files.h"

namespace sorn::servicestest {

struct Found {
    std::string name;
    DWORD attributes;
};

// Every entry a search reports, in its order; empty when it cannot start.
inline std::vector<Found> Search(const std::string& pattern) {
    std::vector<Found> found;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        found.push_back({data.cFileName, data.dwFileAttributes});
    } while (FindNextFileA(search, &data));
    EXPECT_TRUE(FindClose(search));
    return found;
}

inline std::vector<std::string> Names(const std::vector<Found>& found) {
    std::vector<std::string> names;
    for (const auto& entry : found) names.push_back(entry.name);
    return names;
}

}  // namespace sorn::servicestest
