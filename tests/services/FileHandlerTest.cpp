// FileHandlerWin on temporary directories. The cases that need POSIX file
// system features are in FileHandlerPosixTest.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ScopedEnv.h"
#include "ServicesTestSupport.h"
#include "TempDir.h"
#include "services/FileHandlerWin.h"
#include "services/ResPluginHandlerWin.h"

using SornData::FileHandlerWin;
using ::testing::AnyOf;
using ::testing::UnorderedElementsAre;

namespace {

using sorn::servicestest::DirectoryOf;
using sorn::servicestest::Text;

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
            EXPECT_TRUE(sorn::servicestest::IsTempName(Text(name), tmp.Path(), "srn")) << Text(name);
            EXPECT_FALSE(Exists(Text(name)));
            names.insert(Text(name));
        }
        EXPECT_TRUE(std::filesystem::is_empty(tmp.Path()));
    }
    EXPECT_GT(names.size(), 1u);
#ifndef _WIN32
    {   // TMP unset: the temporary directory (TMPDIR names it on Linux).
        ScopedEnv noTmp("TMP", nullptr);
        ScopedEnv tmpdir("TMPDIR", tmp.Path().c_str());
        SornStringA name;
        ASSERT_EQ(handler.TempFileName(name), 1);
        EXPECT_TRUE(sorn::servicestest::IsTempName(Text(name), tmp.Path(), "srn")) << Text(name);
    }
#endif
}
