// Every committed fuzz input (seeds and the findings kept as regressions)
// through DecodeFile and DecodeBuffer, checked as the fuzz target checks it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz/codec/WavDecodeCheck.h"

namespace {

void CheckEveryFileIn(const std::filesystem::path& folder, int& checked) {
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
    sornfuzz::WavDecodeCheck check;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const unsigned char* p = b.empty() ? nullptr : b.data();
        EXPECT_EQ(check.File(entry.path().string().c_str(), p, b.size()), "") << entry.path();
        EXPECT_EQ(check.Buffer(p, b.size()), "") << entry.path();
        ++checked;
    }
}

TEST(CommittedInputs, SeedsAndRegressionsDecodeByTheRules) {
    int checked = 0;
    CheckEveryFileIn(SORN_CODEC_SEEDS, checked);
    CheckEveryFileIn(SORN_CODEC_REGRESSIONS, checked);
    EXPECT_GE(checked, 5);
}

}  // namespace
