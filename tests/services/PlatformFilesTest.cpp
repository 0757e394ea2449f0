// Directory search as the platform documents it. The cases that need POSIX
// file systems (links, permission bits, /proc) or describe this emulation
// only (a walk that sees deletions) are in PlatformFilesPosixTest.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "FileSearch.h"
#include "TempDir.h"
#include "platform/Files.h"

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

using namespace sorn::servicestest;  // Search, Names

TEST(FileSearch, MatchesThePlatformsWildcardsInTheLastComponentOnly) {
    TempDir dir;
    for (const char* name : {"a1.txt", "a2.txt", "ab.txt", "b.dat", "noext", "[x].txt"}) dir.File(name);

    EXPECT_THAT(Names(Search(dir / "a?.txt")), UnorderedElementsAre("a1.txt", "a2.txt", "ab.txt"));
    EXPECT_THAT(Names(Search(dir / "*.dat")), ElementsAre("b.dat"));
    EXPECT_THAT(Names(Search(dir / "[x]*")), ElementsAre("[x].txt"));  // [ stands for itself
    EXPECT_EQ(Search(dir / "*.*").size(), 8u);                        // every name, "noext" too
    EXPECT_TRUE(Search(dir / "*.wav").empty());
    EXPECT_TRUE(Search(dir / "missing/*").empty());
    EXPECT_TRUE(Search(dir.Path() + "/").empty());  // no last component

    // No directory part: the current directory.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    EXPECT_THAT(Names(Search("b.*")), ElementsAre("b.dat"));
    std::filesystem::current_path(cwd);

    WIN32_FIND_DATAA data;
#ifndef _WIN32
    // Null arguments are refused here; the system's own calls require them
    // (Windows writes through the null result and faults).
    EXPECT_EQ(FindFirstFileA(nullptr, &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFileA((dir / "*").c_str(), nullptr), INVALID_HANDLE_VALUE);
#endif
    EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &data));
    EXPECT_FALSE(FindNextFileA(nullptr, &data));
    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
}

