#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "WavCodecFixture.h"

using namespace wavtest;
using SornMedia::SornAudio::WavCodec;

namespace {

TEST_F(WavCodecTest, CanonicalHeaderSamplesStartAtOffset44) {
    const Bytes samples = Samples(10);
    const Bytes file = Canonical(1, 16000, samples);
    ASSERT_EQ(file.size(), 54u);
    const Decoded d = QueryAndRead(folder.Write("mono.wav", file));
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.size, 10u);
    EXPECT_EQ(d.data, samples);
    EXPECT_EQ(d.format.SampleRate(), 16000u);
    EXPECT_EQ(d.format.ChannelNum(), 1);
    EXPECT_EQ(d.format.BlockAlign(), 2);
    EXPECT_EQ(d.format.SampleNum(), 5u);
    EXPECT_EQ(d.format.AudioType(), 0);
    EXPECT_EQ(d.format.AudioSerializationType(), 0);
    EXPECT_TRUE(d.guardIntact);
    EXPECT_TRUE(recorder.warnings.empty());
}

TEST_F(WavCodecTest, StereoSampleNumCountsSixteenBitValues) {
    const Decoded d = QueryAndRead(folder.Write("stereo.wav", Canonical(2, 44100, Samples(1000))));
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.size, 1000u);
    EXPECT_EQ(d.format.SampleNum(), 500u);
    EXPECT_EQ(d.format.ChannelNum(), 2);
    EXPECT_EQ(d.format.BlockAlign(), 4);
    EXPECT_EQ(d.format.SampleRate(), 44100u);
}

TEST_F(WavCodecTest, ScanSkipsLongerFormatChunksAndOtherChunks) {
    const Bytes samples = Samples(6);
    Bytes extended = Header(1, 8000, 18);
    Put(extended, Chunk("data", samples));
    Bytes withChunks = Header(1, 8000);
    Put(withChunks, Chunk("fact", {0x10, 0, 0, 0}));
    Put(withChunks, Chunk("LIST", Bytes{'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 2, 0, 0, 0, 'x', 0}));
    Put(withChunks, Chunk("data", samples));
    for (const Bytes& file : {extended, withChunks}) {
        const Decoded d = QueryAndRead(folder.Write("chunks.wav", file));
        ASSERT_EQ(d.result, 1);
        EXPECT_EQ(d.data, samples);
        EXPECT_EQ(d.format.SampleRate(), 8000u);
    }
    EXPECT_TRUE(recorder.warnings.empty());
}

TEST_F(WavCodecTest, LetterDRightBeforeTheIdHidesIt) {
    Bytes hidden = Header(1, 16000);
    Put(hidden, "d");
    Put(hidden, Chunk("data", Samples(8)));
    const std::string path = folder.Write("hidden.wav", hidden);
    ExpectRefused(Read(path, 100), 100, path);

    // A later id is still found.
    Put(hidden, Chunk("data", Bytes{1, 2, 3, 4}));
    recorder.warnings.clear();
    const Decoded d = QueryAndRead(folder.Write("later.wav", hidden));
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.data, (Bytes{1, 2, 3, 4}));
}

TEST_F(WavCodecTest, TheDataChunkIsTheFirstOfTheChainNotAnIdInsideAnotherChunk) {
    const Bytes samples = Samples(32);
    // A cue point names the chunk it points into: "data".
    Bytes cue;
    Put32(cue, 1);
    Put32(cue, 1);
    Put32(cue, 0);
    Put(cue, "data");
    for (int i = 0; i < 3; ++i) Put32(cue, 0);
    Bytes withCue = Header(1, 16000);
    Put(withCue, Chunk("cue ", cue));
    Put(withCue, Chunk("data", samples));
    // LIST/INFO text, of odd size with its pad byte.
    Bytes info;
    Put(info, "INFOICMT");
    Put32(info, 14);
    Put(info, "raw data here");
    info.push_back(0);
    Bytes withText = Header(1, 16000);
    Put(withText, Chunk("LIST", info));
    Put(withText, Chunk("odd!", Bytes{1, 2, 3}));
    withText.push_back(0);  // the pad byte
    Put(withText, Chunk("data", samples));
    for (const Bytes& file : {withCue, withText}) {
        const Decoded d = QueryAndRead(folder.Write("chunks.wav", file));
        ASSERT_EQ(d.result, 1);
        EXPECT_EQ(d.data, samples);
        EXPECT_EQ(d.format.SampleNum(), 16u);
    }
    // A chain broken by a missing pad byte: the data chunk is still found by
    // its id, as the codec always found it.
    Bytes unpadded = Header(1, 16000);
    Put(unpadded, Chunk("odd!", Bytes{1, 2, 3}));
    Put(unpadded, Chunk("data", samples));
    const Decoded d = QueryAndRead(folder.Write("unpadded.wav", unpadded));
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.data, samples);
    EXPECT_TRUE(recorder.warnings.empty());
}

TEST_F(WavCodecTest, SamplesOtherThan16BitPcmAreRefusedWithTheReason) {
    // format tag, bits, the reason's encoding
    const std::vector<std::tuple<std::uint16_t, std::uint16_t, std::string>> cases = {
        {3, 32, "32-bit float"}, {1, 24, "24-bit PCM"}, {1, 8, "8-bit PCM (unsigned)"}, {6, 8, "A-law"}};
    for (const auto& [tag, bits, encoding] : cases) {
        SCOPED_TRACE(encoding);
        Bytes file = Header(1, 16000, 18);  // as sox writes float: an 18-byte format chunk and a fact chunk
        file[20] = static_cast<unsigned char>(tag);
        file[34] = static_cast<unsigned char>(bits);
        Put(file, Chunk("fact", {4, 0, 0, 0}));
        Put(file, Chunk("data", Samples(16)));
        recorder.warnings.clear();
        const std::string path = folder.Write("other.wav", file);
        const Decoded d = Read(path, 200);
        EXPECT_EQ(d.result, 0);
        EXPECT_TRUE(SameFormat(d.format, Untouched()));
        ASSERT_EQ(recorder.warnings.size(), 1u);
        EXPECT_EQ(recorder.warnings[0].text, path);
        EXPECT_EQ(recorder.warnings[0].reason, "holds " + encoding + " samples; the WAV codec reads 16-bit PCM only");
    }
}

TEST_F(WavCodecTest, SizeQueryReportsTheWholeFileWithoutCheckingIt) {
    SornAudioFormat format = Untouched();
    std::uint32_t size = 7;
    for (const Bytes& file : {Canonical(1, 16000, Samples(10)), Bytes{'n', 'o', 't', ' ', 'w', 'a', 'v'}, Bytes{}}) {
        ASSERT_EQ(codec.DecodeFile(folder.Write("any.bin", file).c_str(), nullptr, &size, &format), 1);
        EXPECT_EQ(size, file.size());
    }
    // The format is not needed for the query.
    ASSERT_EQ(codec.DecodeFile(folder.Path("any.bin").c_str(), nullptr, &size, nullptr), 1);
    EXPECT_TRUE(SameFormat(format, Untouched()));
    EXPECT_TRUE(recorder.warnings.empty());
}

TEST_F(WavCodecTest, SizeQueryOfAFileBeyondFourGigabytesSaysTheMostItCan) {
    const std::string path = folder.Write("huge.wav", Canonical(1, 16000, Samples(4)));
    std::error_code error;
    std::filesystem::resize_file(path, (1ull << 32) + 100, error);  // sparse: nothing is written
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    std::uint32_t size = 0;
    ASSERT_EQ(codec.DecodeFile(path.c_str(), nullptr, &size, nullptr), 1);
    EXPECT_EQ(size, 0xFFFFFFFFu);
}

TEST_F(WavCodecTest, MissingFileIsReportedForQueryAndRead) {
    const std::string path = folder.Path("missing.wav");
    ExpectQueryAndReadRefused(path);
}

TEST_F(WavCodecTest, MalformedFilesAreRefusedUntouched) {
    const Bytes good = Canonical(1, 16000, Samples(10));
    auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + n); };
    Bytes noData = Header(1, 16000);
    Put(noData, Chunk("fact", {1, 0, 0, 0}));
    Bytes wrongRiff = good;
    wrongRiff[3] = 'X';
    Bytes wrongForm = good;
    std::memcpy(wrongForm.data() + 12, "LIST", 4);
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"empty", {}},
        {"one byte", {'R'}},
        {"RIFF only", cut(4)},
        {"header cut in the format", cut(30)},
        {"header without scan bytes", cut(36)},
        {"RIFX", wrongRiff},
        {"no WAVEfmt", wrongForm},
        {"no data chunk", noData},
        {"d at the very end", [&] { Bytes b = Header(1, 16000); Put(b, "xxd"); return b; }()},
    };
    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        recorder.warnings.clear();
        const std::string path = folder.Write("bad.wav", file);
        // The capacity the size query gives, or some room for the empty file.
        const auto capacity = static_cast<std::uint32_t>(file.size() + 16);
        ExpectRefused(Read(path, capacity), capacity, path);
    }
}

TEST_F(WavCodecTest, FileEndingBeforeItsDataSizeIsAnEmptyClip) {
    const Bytes good = Canonical(2, 22050, Samples(10));
    for (const std::size_t length : {40u, 41u, 42u, 43u}) {
        SCOPED_TRACE(length);
        recorder.warnings.clear();
        const Decoded d = QueryAndRead(folder.Write("cut.wav", Bytes(good.begin(), good.begin() + length)));
        ASSERT_EQ(d.result, 1);
        EXPECT_EQ(d.size, 0u);
        EXPECT_EQ(d.format.SampleNum(), 0u);
        EXPECT_EQ(d.format.ChannelNum(), 2u);
        EXPECT_EQ(d.format.SampleRate(), 22050u);
        EXPECT_TRUE(d.guardIntact);
        EXPECT_TRUE(recorder.warnings.empty());
    }
}

TEST_F(WavCodecTest, ShortDataReportsOnlyTheBytesPlaced) {
    for (const std::uint32_t declared : {1000u, 0x80000001u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
        SCOPED_TRACE(declared);
        Bytes file = Header(2, 22050);
        Put(file, Chunk("data", Samples(11), declared));
        const Decoded d = QueryAndRead(folder.Write("short.wav", file));
        ASSERT_EQ(d.result, 1);
        EXPECT_EQ(d.size, 11u);
        EXPECT_EQ(d.data, Samples(11));
        EXPECT_EQ(d.format.SampleNum(), 5u);
        EXPECT_TRUE(d.guardIntact);
    }
    // Nothing after the data size: an empty clip.
    Bytes empty = Header(1, 16000);
    Put(empty, Chunk("data", {}, 400));
    const Decoded d = QueryAndRead(folder.Write("empty.wav", empty));
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.size, 0u);
    EXPECT_EQ(d.format.SampleNum(), 0u);
    EXPECT_TRUE(recorder.warnings.empty());
}

TEST_F(WavCodecTest, CallersSizeBoundsWhatIsWritten) {
    const std::string path = folder.Write("big.wav", Canonical(1, 16000, Samples(100)));
    const Decoded d = Read(path, 6);
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.size, 6u);
    EXPECT_EQ(d.data, Samples(6));
    EXPECT_EQ(d.format.SampleNum(), 3u);
    EXPECT_TRUE(d.guardIntact);
    EXPECT_EQ(Read(path, 0).size, 0u);
}

TEST_F(WavCodecTest, FileGrowingAfterTheSizeQueryDoesNotOverflow) {
    const std::string path = folder.Write("grow.wav", Canonical(1, 16000, Samples(10)));
    std::uint32_t size = 0;
    ASSERT_EQ(codec.DecodeFile(path.c_str(), nullptr, &size, nullptr), 1);
    ASSERT_EQ(size, 54u);
    folder.Write("grow.wav", Canonical(1, 16000, Samples(5000)));  // another writer
    const Decoded d = Read(path, size);
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.size, 54u);
    EXPECT_EQ(d.data, Samples(54));
    EXPECT_TRUE(d.guardIntact);
}

TEST_F(WavCodecTest, ReadsWhileAnotherWriterHoldsTheFile) {
    const std::string path = folder.Write("shared.wav", Canonical(1, 16000, Samples(10)));
    std::ofstream writer(path, std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(QueryAndRead(path).result, 1);
}

TEST_F(WavCodecTest, DirectoryIsRefused) {
    const std::string path = folder.Path("folder.wav");
    ASSERT_TRUE(std::filesystem::create_directory(path));
    ExpectQueryAndReadRefused(path);
}

TEST_F(WavCodecTest, NullOutArgumentsAreRefused) {
    const std::string path = folder.Write("ok.wav", Canonical(1, 16000, Samples(4)));
    unsigned char buffer[64];
    std::uint32_t size = sizeof buffer;
    EXPECT_EQ(codec.DecodeFile(path.c_str(), buffer, &size, nullptr), 0);
    EXPECT_EQ(size, sizeof buffer);
    SornAudioFormat format = Untouched();
    EXPECT_EQ(codec.DecodeFile(path.c_str(), buffer, nullptr, &format), 0);
    EXPECT_EQ(codec.DecodeFile(path.c_str(), nullptr, nullptr, &format), 0);
    EXPECT_TRUE(SameFormat(format, Untouched()));
    EXPECT_EQ(recorder.warnings.size(), 3u);
}

TEST_F(WavCodecTest, EncodingRefusesAndTouchesNothing) {
    const std::string path = folder.Path("out.wav");
    const Bytes samples = Samples(8);
    SornAudioFormat format;
    EXPECT_EQ(codec.EncodeFile(path.c_str(), samples.data(), 8, &format), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    Bytes out(8, 0);
    std::uint32_t size = 99;
    EXPECT_EQ(codec.EncodeBuffer(samples.data(), 8, out.data(), &size, &format), 0);
    EXPECT_EQ(size, 99u);
    EXPECT_EQ(out, Bytes(8, 0));
}

}  // namespace
