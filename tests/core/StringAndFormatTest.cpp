#include <gtest/gtest.h>

#include <cstring>

#include "core_contract/SornAudioFormat.h"
#include "core_contract/SornString.h"

TEST(SornStringA, BuildsFromNothingTextAndNumbers) {
    EXPECT_STREQ(SornStringA().ToChars(), "");
    EXPECT_STREQ(SornStringA(static_cast<const char*>(nullptr)).ToChars(), "");
    EXPECT_STREQ(SornStringA("abc").ToChars(), "abc");
    EXPECT_STREQ(SornStringA(0).ToChars(), "0");
    EXPECT_STREQ(SornStringA(-42).ToChars(), "-42");
    SornStringA joined = SornStringA("path") + "\\*";
    EXPECT_STREQ(joined.ToChars(), "path\\*");
    SornStringA edited("a\\b");
    edited.Buffer()[1] = '/';
    EXPECT_STREQ(edited.ToChars(), "a/b");
}

TEST(SornAudioFormat, DefaultsTo16kMono16Bit) {
    SornAudioFormat format;
    EXPECT_EQ(format.SampleRate(), 16000u);
    EXPECT_EQ(format.ChannelNum(), 1u);
    EXPECT_EQ(format.BlockAlign(), 2u);
    EXPECT_EQ(format.AudioType(), 0);
    EXPECT_EQ(format.AudioSerializationType(), 0);
}
