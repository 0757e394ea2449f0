// The file operations where POSIX file systems matter: links, permission
// bits, the executable's path under /proc, the Linux temporary directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ScopedEnv.h"
#include "FileSearch.h"
#include "TempDir.h"
#include "platform/Files.h"

using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::UnorderedElementsAre;

using namespace sorn::servicestest;  // Search, Names

TEST(FileSearch, ReportsOwnAndParentEntriesFirstThenEveryEntryOnce) {
    TempDir dir;
    dir.File("a.txt", "hello");
    dir.File(".hidden");
    ASSERT_TRUE(std::filesystem::create_directory(dir / "sub"));
    std::filesystem::create_symlink(dir / "sub", dir / "link");

    const auto found = Search(dir.Path() + "\\*");  // the platform's separator
    ASSERT_EQ(found.size(), 6u);
    EXPECT_EQ(found[0].name, ".");
    EXPECT_EQ(found[1].name, "..");
    const auto names = Names(found);
    const std::vector<std::string> rest(names.begin() + 2, names.end());
    EXPECT_THAT(rest, UnorderedElementsAre("a.txt", ".hidden", "sub", "link"));
    for (const auto& entry : found) {
        SCOPED_TRACE(entry.name);
        const bool directory = entry.name == "." || entry.name == ".." || entry.name == "sub";
        EXPECT_EQ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, directory);
        // A link is reported as itself, not as the directory it leads to.
        EXPECT_EQ((entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0, entry.name == "link");
        EXPECT_EQ((entry.attributes & FILE_ATTRIBUTE_HIDDEN) != 0, entry.name == ".hidden");
        EXPECT_EQ(entry.attributes == FILE_ATTRIBUTE_NORMAL, entry.name == "a.txt");
    }

    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((dir / "a.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a.txt");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u);
    EXPECT_FALSE(FindNextFileA(search, &data));
    EXPECT_FALSE(FindNextFileA(search, &data));  // still at its end
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search));  // closed handles are refused, not used
    EXPECT_FALSE(FindNextFileA(search, &data));
}

TEST(FileAttributes, TellDirectoriesFilesAndLinks) {
    TempDir dir;
    dir.File("file");
    ASSERT_TRUE(std::filesystem::create_directory(dir / "sub"));
    std::filesystem::create_symlink(dir / "sub", dir / "dirlink");
    std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");

    EXPECT_EQ(GetFileAttributesA((dir / "missing").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA(nullptr), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA((dir / "file").c_str()), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(GetFileAttributesA((dir.Path() + "\\sub").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA((dir / "sub/").c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA((dir / "dirlink").c_str()), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(GetFileAttributesA((dir / "dangling").c_str()), FILE_ATTRIBUTE_REPARSE_POINT);
    ASSERT_EQ(::chmod((dir / "file").c_str(), 0444), 0);
    EXPECT_EQ(GetFileAttributesA((dir / "file").c_str()), FILE_ATTRIBUTE_READONLY);
}

TEST(FileChanges, MakeRemoveAndDeleteOnlyWhatTheyName) {
    TempDir dir;
    EXPECT_TRUE(CreateDirectoryA((dir.Path() + "\\new").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA((dir / "new").c_str(), nullptr));  // exists
    EXPECT_FALSE(CreateDirectoryA((dir / "missing/new").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(nullptr, nullptr));

    dir.File("new/file");
    EXPECT_FALSE(RemoveDirectoryA((dir / "new").c_str()));  // not empty
    EXPECT_FALSE(DeleteFileA((dir / "new").c_str()));       // a directory
    EXPECT_TRUE(DeleteFileA((dir / "new\\file").c_str()));
    EXPECT_FALSE(DeleteFileA((dir / "new/file").c_str()));  // gone
    EXPECT_FALSE(DeleteFileA(nullptr));

    std::filesystem::create_symlink(dir / "new", dir / "dirlink");
    EXPECT_FALSE(RemoveDirectoryA((dir / "dirlink").c_str()));  // a link, not a directory
    dir.File("target");
    std::filesystem::create_symlink(dir / "target", dir / "filelink");
    EXPECT_TRUE(DeleteFileA((dir / "filelink").c_str()));
    EXPECT_TRUE(DeleteFileA((dir / "dirlink").c_str()));
    EXPECT_TRUE(Exists(dir / "target"));
    EXPECT_TRUE(RemoveDirectoryA((dir / "new").c_str()));
    EXPECT_FALSE(RemoveDirectoryA((dir / "new").c_str()));
}

TEST(StandardDirectories, FollowThePlatformsBufferRules) {
    const std::string cwd = std::filesystem::current_path().string();
    char buffer[MAX_PATH];
    ASSERT_LT(cwd.size(), MAX_PATH);
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buffer), cwd.size());
    EXPECT_EQ(buffer, cwd);
    // Too small: nothing written, the size needed with the terminator.
    buffer[0] = '#';
    EXPECT_EQ(GetCurrentDirectoryA(static_cast<DWORD>(cwd.size()), buffer), cwd.size() + 1);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(GetCurrentDirectoryA(0, nullptr), cwd.size() + 1);

    {
        ScopedEnv tmpdir("TMPDIR", "/var/tmp");
        EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 9u);
        EXPECT_STREQ(buffer, "/var/tmp/");
    }
    {
        ScopedEnv tmpdir("TMPDIR", "/some/where/");
        EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 12u);
        EXPECT_STREQ(buffer, "/some/where/");
        EXPECT_EQ(GetTempPathA(12, buffer), 13u);
    }
    {
        ScopedEnv tmpdir("TMPDIR", "");
        GetTempPathA(MAX_PATH, buffer);
        EXPECT_STREQ(buffer, "/tmp/");
    }
}

TEST(ModuleFileName, NamesTheExecutableForNoModuleAndCutsWhatDoesNotFit) {
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    char buffer[4096];
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, sizeof buffer), exe.size());
    EXPECT_EQ(buffer, exe);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer), exe.substr(0, 4));
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 0), 0u);
    EXPECT_EQ(GetModuleFileNameA(nullptr, nullptr, 10), 0u);
}

TEST(TemporaryNames, NameNoExistingFileAndCreateNone) {
    TempDir tmp;
    TempDir other;
    ScopedEnv tmpVariable("TMP", tmp.Path().c_str());
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) {
        char* name = TempNameA(nullptr, "srn");
        ASSERT_NE(name, nullptr);
        names.emplace_back(name);
        std::free(name);
        EXPECT_THAT(names.back(), MatchesRegex(tmp.Path() + "/srn[0-9]+"));
        EXPECT_FALSE(Exists(names.back()));
    }
    EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));

    // TMP unusable: the given directory, then the temporary directory.
    {
        ScopedEnv bad("TMP", (tmp / "missing").c_str());
        char* name = TempNameA(other.Path().c_str(), "p");
        ASSERT_NE(name, nullptr);
        EXPECT_THAT(std::string(name), MatchesRegex(other.Path() + "/p[0-9]+"));
        std::free(name);
        ScopedEnv tmpdir("TMPDIR", other.Path().c_str());
        name = TempNameA(nullptr, "srn");
        ASSERT_NE(name, nullptr);
        EXPECT_THAT(std::string(name), MatchesRegex(other.Path() + "/srn[0-9]+"));
        std::free(name);
    }
}

TEST(FileSearch, WalksTheDirectoryAsItIsNotAsItWas) {
    TempDir dir;
    for (const char* name : {"a", "b", "c"}) dir.File(name);
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA((dir / "*").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, ".");
    // Entries deleted before the walk reaches them are not reported (the
    // system leaves this open: Wine reads the directory ahead).
    for (const char* name : {"a", "b", "c"}) std::filesystem::remove(dir / name);
    std::vector<std::string> rest;
    while (FindNextFileA(search, &data)) rest.push_back(data.cFileName);
    EXPECT_TRUE(FindClose(search));
    EXPECT_THAT(rest, ElementsAre(".."));
}
