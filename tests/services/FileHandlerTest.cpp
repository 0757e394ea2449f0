// FileHandlerWin on temporary directories.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ScopedEnv.h"
#include "TempDir.h"
#include "platform/Modules.h"
#include "services/FileHandlerWin.h"
#include "services/ResPluginHandlerWin.h"

using SornData::FileHandlerWin;
using ::testing::AnyOf;
using ::testing::MatchesRegex;
using ::testing::UnorderedElementsAre;

namespace {

std::string Text(const SornStringA& text) { return text.ToChars(); }

std::string DirectoryOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// Records what DeleteDirectory hands to DelFile, then deletes as usual.
class RecordingHandler : public FileHandlerWin {
public:
    int DelFile(const SornStringA& path) override {
        handed.push_back(path.ToChars());
        return FileHandlerWin::DelFile(path);
    }
    std::vector<std::string> handed;
};

}  // namespace

TEST(FileHandler, FindFileGivesTheFirstMatchsBareNameOrTheTextForZero) {
    TempDir dir;
    for (const char* name : {"take1.wav", "take2.wav", "take3.wav", "notes.txt"}) dir.File(name);
    FileHandlerWin handler;
    EXPECT_THAT(Text(handler.FindFile((dir.Path() + "\\take*.wav").c_str())),
                AnyOf("take1.wav", "take2.wav", "take3.wav"));
    EXPECT_EQ(Text(handler.FindFile((dir / "notes.txt").c_str())), "notes.txt");
    EXPECT_EQ(Text(handler.FindFile((dir / "*.mp3").c_str())), Text(SornStringA(0)));
    EXPECT_EQ(Text(handler.FindFile((dir / "missing/*").c_str())), "0");
    EXPECT_EQ(Text(handler.FindFile((dir / "*").c_str())), ".");  // the directory's own entry comes first
}

TEST(FileHandler, TellsAndMakesDirectories) {
    TempDir dir;
    dir.File("file");
    FileHandlerWin handler;
    EXPECT_EQ(handler.IsDirectory(dir.Path().c_str()), 1);
    EXPECT_EQ(handler.IsDirectory((dir / "file").c_str()), 0);
    EXPECT_EQ(handler.IsDirectory((dir / "missing").c_str()), 0);

    EXPECT_EQ(handler.MakeDirectory((dir.Path() + "\\made").c_str()), 1);
    EXPECT_EQ(handler.IsDirectory((dir / "made").c_str()), 1);
    EXPECT_EQ(handler.MakeDirectory((dir / "made").c_str()), 0);            // exists
    EXPECT_EQ(handler.MakeDirectory((dir / "missing/made").c_str()), 0);    // no parent
    EXPECT_EQ(handler.MakeDirectory((dir / "file").c_str()), 0);

    EXPECT_EQ(handler.DelFile((dir / "file").c_str()), 1);
    EXPECT_EQ(handler.DelFile((dir / "file").c_str()), 0);
    EXPECT_EQ(handler.DelFile((dir / "made").c_str()), 0);
}

TEST(FileHandler, DeleteDirectoryDeletesTheFilesOneLevelDeep) {
    TempDir dir;
    FileHandlerWin handler;
    {   // Two files and a subdirectory: the files go, the rest stays, 0.
        dir.File("mixed/one");
        dir.File("mixed/two");
        ASSERT_TRUE(std::filesystem::create_directory(dir / "mixed/sub"));
        dir.File("mixed/sub/deep");
        RecordingHandler recording;
        EXPECT_EQ(recording.DeleteDirectory((dir / "mixed").c_str()), 0);
        EXPECT_FALSE(Exists(dir / "mixed/one"));
        EXPECT_FALSE(Exists(dir / "mixed/two"));
        EXPECT_TRUE(Exists(dir / "mixed/sub/deep"));
        // The derived DelFile saw every entry but the own and parent ones.
        const std::string base = dir.Path() + "/mixed\\";
        EXPECT_THAT(recording.handed, UnorderedElementsAre(base + "one", base + "two", base + "sub"));
    }
    {   // Only files: all go, and so does the directory, 1.
        dir.File("files/one");
        dir.File("files/.two");
        EXPECT_EQ(handler.DeleteDirectory((dir.Path() + "\\files").c_str()), 1);
        EXPECT_FALSE(Exists(dir / "files"));
    }
    // A missing directory: 0, nothing deleted; an empty path never means the root.
    EXPECT_EQ(handler.DeleteDirectory((dir / "missing").c_str()), 0);
    EXPECT_EQ(handler.DeleteDirectory(""), 0);
    EXPECT_TRUE(Exists(dir / "mixed/sub"));
}

TEST(FileHandler, DeleteDirectoryDeletesLinksNeverWhatTheyLeadTo) {
    TempDir dir;
    dir.File("outside/kept");
    dir.File("outside/dir/kept");
    dir.File("doomed/file");
    std::filesystem::create_symlink(dir / "outside/kept", dir / "doomed/filelink");
    std::filesystem::create_symlink(dir / "outside/dir", dir / "doomed/dirlink");
    std::filesystem::create_symlink(dir / "nowhere", dir / "doomed/dangling");
    dir.File("doomed/back\\slash");  // a name the platform's paths cannot name

    FileHandlerWin handler;
    EXPECT_EQ(handler.DeleteDirectory((dir / "doomed").c_str()), 0);
    EXPECT_TRUE(Exists(dir / "outside/kept"));
    EXPECT_TRUE(Exists(dir / "outside/dir/kept"));
    EXPECT_FALSE(Exists(dir / "doomed/file"));
    EXPECT_FALSE(Exists(dir / "doomed/filelink"));
    EXPECT_FALSE(Exists(dir / "doomed/dirlink"));
    EXPECT_FALSE(Exists(dir / "doomed/dangling"));
    EXPECT_TRUE(Exists(dir / "doomed/back\\slash"));  // left alone, so the directory stays
}

TEST(FileHandler, StandardDirectories) {
    FileHandlerWin handler;
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    // Cut at the first separator: a Linux path begins with it.
    EXPECT_EQ(Text(handler.ExeDirectory()), "");
    // Linked into this executable, this module is the executable.
    EXPECT_EQ(Text(handler.ModuleDirectory(nullptr)), DirectoryOf(exe));
    EXPECT_EQ(Text(handler.CurrentDirectory()), std::filesystem::current_path().string());
    {
        ScopedEnv tmpdir("TMPDIR", "/var/tmp");
        EXPECT_EQ(Text(handler.TempDirectory()), "/var/tmp/");
        ScopedEnv tooLong("TMPDIR", ("/" + std::string(300, 'x')).c_str());
        EXPECT_EQ(Text(handler.TempDirectory()), "");  // does not fit the platform's buffer
    }

    HMODULE plugin = LoadLibraryA(SORN_TEST_PLUGIN_FIRST);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(Text(handler.ModuleDirectory(plugin)), DirectoryOf(SORN_TEST_PLUGIN_FIRST));
    FreeLibrary(plugin);
}

TEST(FileHandler, ModuleDirectoryOfNoModuleNamesTheLibraryHoldingTheServices) {
    void* probe = ::dlopen(SORN_TEST_PROBE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(probe, nullptr) << ::dlerror();
    auto ask = reinterpret_cast<void (*)(char*, unsigned)>(::dlsym(probe, "ProbeModuleDirectory"));
    ASSERT_NE(ask, nullptr);
    char directory[512];
    ask(directory, sizeof directory);
    EXPECT_EQ(std::string(directory), DirectoryOf(SORN_TEST_PROBE));
    EXPECT_NE(std::string(directory), DirectoryOf(std::filesystem::read_symlink("/proc/self/exe").string()));
    ::dlclose(probe);
}

TEST(FileHandler, ModuleDirectoryOfAPluginLoadedByARelativePathOutlivesAChangeOfDirectory) {
    const std::string pluginDirectory = DirectoryOf(SORN_TEST_PLUGIN_SECOND);
    const std::string pluginName = std::string(SORN_TEST_PLUGIN_SECOND).substr(pluginDirectory.size());
    const std::filesystem::path before = std::filesystem::current_path();
    TempDir elsewhere;
    std::filesystem::current_path(pluginDirectory);
    SornData::ResPluginHandlerWin plugins;
    void* plugin = plugins.AttachPlugin(("./" + pluginName).c_str());
    std::filesystem::current_path(elsewhere.Path());
    FileHandlerWin handler;
    const std::string directory = Text(handler.ModuleDirectory(plugin));
    std::filesystem::current_path(before);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(directory, pluginDirectory);
    EXPECT_EQ(plugins.FreePlugin(plugin), 1);
}

TEST(FileHandler, TempFileNameNamesNoFileAndMakesNone) {
    TempDir tmp;
    FileHandlerWin handler;
    std::set<std::string> names;
    {
        ScopedEnv tmpVariable("TMP", tmp.Path().c_str());
        for (int i = 0; i < 10; ++i) {
            SornStringA name("unchanged");
            ASSERT_EQ(handler.TempFileName(name), 1);
            EXPECT_THAT(Text(name), MatchesRegex(tmp.Path() + "/srn[0-9]+"));
            EXPECT_FALSE(Exists(Text(name)));
            names.insert(Text(name));
        }
        EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));
    }
    EXPECT_GT(names.size(), 1u);
    {   // TMP unset: the temporary directory.
        ScopedEnv noTmp("TMP", nullptr);
        ScopedEnv tmpdir("TMPDIR", tmp.Path().c_str());
        SornStringA name;
        ASSERT_EQ(handler.TempFileName(name), 1);
        EXPECT_THAT(Text(name), MatchesRegex(tmp.Path() + "/srn[0-9]+"));
    }
}
