// The waveIn operations on the stepped virtual device.
#include <unistd.h>

#include <cstdio>
#include <initializer_list>
#include <numeric>
#include <random>
#include <string>

#include "WaveTestSupport.h"

using namespace wavetest;
using sorn::audio::VirtualDevice;

using WaveIn = SteppedDevice;

namespace {

std::vector<std::int16_t> Ramp(std::size_t count, std::int16_t first = 1) {
    std::vector<std::int16_t> samples(count);
    std::iota(samples.begin(), samples.end(), first);
    return samples;
}

// Prepares and queues `blocks` on `device`, in order, and starts it.
void QueueAndStart(HWAVEIN device, std::initializer_list<Block*> blocks) {
    for (Block* block : blocks) {
        waveInPrepareHeader(device, &block->header, sizeof(WAVEHDR));
        waveInAddBuffer(device, &block->header, sizeof(WAVEHDR));
    }
    waveInStart(device);
}

std::vector<std::int16_t> Captured(const WAVEHDR& header) {
    const auto* data = reinterpret_cast<const std::int16_t*>(header.lpData);
    return {data, data + header.dwBytesRecorded / 2};
}

}  // namespace

TEST_F(WaveIn, FilledHeadersArriveInQueueOrderWithTheirBytesRecorded) {
    VirtualDevice::SetInputSamples(Ramp(1000), false);
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    Block a(100), b(100);
    for (Block* block : {&a, &b}) {
        ASSERT_EQ(waveInPrepareHeader(device, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        ASSERT_EQ(waveInAddBuffer(device, &block->header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
        EXPECT_EQ(block->header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
        EXPECT_EQ(block->header.dwBytesRecorded, 0u);
    }
    VirtualDevice::Advance(500);  // not started: nothing is captured
    EXPECT_EQ(recorder.Count(WIM_DATA), 0u);
    EXPECT_EQ(Position(device), 0u);

    ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);
    VirtualDevice::Advance(150);
    ASSERT_EQ(recorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&a.header}));
    Call call = recorder.Calls().back();
    EXPECT_NE(call.thread, std::this_thread::get_id());
    EXPECT_EQ(call.bytesRecorded, 200u);
    EXPECT_EQ(call.flags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(Captured(a.header), Ramp(100, 1));
    EXPECT_EQ(Position(device), 150u);

    VirtualDevice::Advance(50);
    EXPECT_EQ(recorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(Captured(b.header), Ramp(100, 101));
    // No header left: what comes now waits in the layer, not yet counted,
    // and fills the next header queued before newer input.
    VirtualDevice::Advance(100);
    EXPECT_EQ(Position(device), 200u);

    waveInAddBuffer(device, &a.header, sizeof(WAVEHDR));  // prepared still
    EXPECT_EQ(Captured(a.header), Ramp(100, 201));
    EXPECT_EQ(Position(device), 300u);
    // It keeps one second (16000 frames) at most; the rest is lost.
    VirtualDevice::Advance(16100);
    waveInAddBuffer(device, &a.header, sizeof(WAVEHDR));
    EXPECT_EQ(Captured(a.header), Ramp(100, 301));
    Block big(16000);
    ASSERT_EQ(waveInPrepareHeader(device, &big.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(device, &big.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(big.header.dwBytesRecorded, 2u * 15900u);
    EXPECT_EQ(Position(device), 300u + 16000u);
    ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
    for (Block* block : {&a, &b, &big}) ASSERT_EQ(waveInUnprepareHeader(device, &block->header, sizeof(WAVEHDR)), 0u);
    ASSERT_EQ(waveInClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(recorder.Calls().front().message, WIM_OPEN);
    EXPECT_EQ(recorder.Calls().back().message, WIM_CLOSE);
}

TEST_F(WaveIn, StopReturnsThePartlyFilledHeaderAndKeepsTheEmptyOnes) {
    VirtualDevice::SetInputSamples(Ramp(1000), false);
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    Block a(100), b(100);
    QueueAndStart(device, {&a, &b});
    VirtualDevice::Advance(30);
    ASSERT_EQ(waveInStop(device), MMSYSERR_NOERROR);
    // Returned before waveInStop did.
    ASSERT_EQ(recorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&a.header}));
    EXPECT_EQ(recorder.Calls().back().bytesRecorded, 60u);
    EXPECT_EQ(Captured(a.header), Ramp(30, 1));
    EXPECT_EQ(b.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(Position(device), 30u);  // stop keeps the position

    VirtualDevice::Advance(100);  // stopped: nothing captured
    EXPECT_EQ(Position(device), 30u);
    ASSERT_EQ(waveInStop(device), MMSYSERR_NOERROR);  // nothing partly filled: nothing returned
    EXPECT_EQ(recorder.Count(WIM_DATA), 1u);

    ASSERT_EQ(waveInStart(device), MMSYSERR_NOERROR);  // goes on into b
    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(Captured(b.header), Ramp(100, 31));
    EXPECT_EQ(Position(device), 130u);
    waveInReset(device);
    for (Block* block : {&a, &b}) waveInUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    waveInClose(device);
}

TEST_F(WaveIn, ResetReturnsEveryHeaderWithTheBytesSoFarAndZeroesThePosition) {
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    Block a(100), b(100), c(100);
    Queue(device, {&a, &b, &c});
    waveInStart(device);
    VirtualDevice::Advance(120);
    EXPECT_EQ(waveInClose(device), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInUnprepareHeader(device, &b.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveInAddBuffer(device, &b.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInReset(device), MMSYSERR_NOERROR);
    EXPECT_EQ(recorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&a.header, &b.header, &c.header}));
    std::vector<DWORD> bytes;
    for (const Call& call : recorder.Calls())
        if (call.message == WIM_DATA) bytes.push_back(call.bytesRecorded);
    EXPECT_EQ(bytes, (std::vector<DWORD>{200, 40, 0}));
    EXPECT_EQ(Position(device), 0u);
    // Reset also stops capturing.
    waveInAddBuffer(device, &a.header, sizeof(WAVEHDR));
    VirtualDevice::Advance(100);
    EXPECT_EQ(recorder.Count(WIM_DATA), 3u);
    waveInReset(device);
    for (Block* block : {&a, &b, &c}) waveInUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveInAddBuffer(device, &a.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, HeadersRequeuedFromTheCallbackKeepUpWithinOneStep) {
    VirtualDevice::SetInputSamples(Ramp(2000), false);
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    Block a(160), b(160);
    std::vector<std::int16_t> joined;
    bool stopRequested = false;  // touched on the notification thread only
    recorder.OnCall([&](void* handle, UINT message, WAVEHDR* header) {
        if (message != WIM_DATA) return;
        auto* in = static_cast<HWAVEIN>(handle);
        std::vector<std::int16_t> got = Captured(*header);
        joined.insert(joined.end(), got.begin(), got.end());
        waveInUnprepareHeader(in, header, sizeof(WAVEHDR));
        if (stopRequested) return;
        header->dwBytesRecorded = 0;
        waveInPrepareHeader(in, header, sizeof(WAVEHDR));
        waveInAddBuffer(in, header, sizeof(WAVEHDR));
        if (joined.size() >= 1600) {
            stopRequested = true;
            waveInReset(in);  // from inside: returns the other header, does not wait
        }
    });
    QueueAndStart(device, {&a, &b});
    VirtualDevice::Advance(1700);
    // Ten full blocks. The step's input beyond the two queued headers waits
    // in the layer and fills each header as the callback queues it again, so
    // the header queued in the tenth callback already holds the last 100
    // frames when the reset there returns it (and the other, empty): every
    // frame arrives once, in order.
    EXPECT_EQ(recorder.Count(WIM_DATA), 12u);
    EXPECT_EQ(joined, Ramp(1700, 1));
    EXPECT_EQ(a.header.dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(b.header.dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, InputSources) {
    Recorder recorder;
    WAVEFORMATEX stereo = Pcm16(8000, 2);
    HWAVEIN device = OpenIn(&recorder, stereo);
    Block block(40);  // 20 stereo frames
    auto capture = [&](std::uint32_t frames) {
        block.header.dwBytesRecorded = 0;
        Queue(device, {&block});
        VirtualDevice::Advance(frames);
        waveInReset(device);
        waveInUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
        return Captured(block.header);
    };
    waveInStart(device);
    // Samples, looped: interleaved as they stand.
    VirtualDevice::SetInputSamples({1, 2, 3}, true);
    EXPECT_EQ(capture(4), (std::vector<std::int16_t>{1, 2, 3, 1, 2, 3, 1, 2}));
    waveInStart(device);
    VirtualDevice::SetInputSamples({7, 8, 9}, false);  // then silence
    EXPECT_EQ(capture(3), (std::vector<std::int16_t>{7, 8, 9, 0, 0, 0}));
    // A generator learns which sample it is asked for.
    std::vector<std::uint64_t> firsts;
    VirtualDevice::SetInputGenerator([&](std::int16_t* out, std::size_t count, std::uint64_t first) {
        firsts.push_back(first);
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::int16_t>(first + i);
    });
    waveInStart(device);
    EXPECT_EQ(capture(2), (std::vector<std::int16_t>{0, 1, 2, 3}));
    waveInStart(device);
    EXPECT_EQ(capture(1), (std::vector<std::int16_t>{4, 5}));
    EXPECT_EQ(firsts, (std::vector<std::uint64_t>{0, 4}));
    VirtualDevice::SetInputSilence();
    waveInStart(device);
    EXPECT_EQ(capture(2), (std::vector<std::int16_t>{0, 0, 0, 0}));
    EXPECT_FALSE(VirtualDevice::SetInputFile("/nonexistent/input.wav"));
    waveInClose(device);
}

TEST_F(WaveIn, LoopbackCapturesWhatTheOutputPlays) {
    VirtualDevice::SetInputLoopback();
    Recorder outRecorder, inRecorder;
    HWAVEOUT out = OpenOut(&outRecorder);
    HWAVEIN in = OpenIn(&inRecorder);
    Block played(100, 500), captured(100, 0);
    Queue(out, {&played});
    Queue(in, {&captured});
    waveInStart(in);
    VirtualDevice::Advance(100);
    EXPECT_EQ(inRecorder.Count(WIM_DATA), 1u);
    EXPECT_EQ(Captured(captured.header), played.data);
    waveOutUnprepareHeader(out, &played.header, sizeof(WAVEHDR));
    waveInUnprepareHeader(in, &captured.header, sizeof(WAVEHDR));
    waveOutClose(out);
    waveInClose(in);
}

TEST_F(WaveIn, OutputToAWavFileReadsBackAsInput) {
    std::string path = ::testing::TempDir() + "sorn_virtual_out_" + std::to_string(::getpid()) + ".wav";
    ASSERT_TRUE(VirtualDevice::SetOutputFile(path.c_str()));
    Recorder recorder;
    HWAVEOUT out = OpenOut(&recorder, Pcm16(22050, 1));
    Block tone(300, -150);
    Queue(out, {&tone});
    VirtualDevice::Advance(300);
    EXPECT_TRUE(VirtualDevice::TakeOutput().empty());  // it went to the file
    waveOutUnprepareHeader(out, &tone.header, sizeof(WAVEHDR));
    waveOutClose(out);

    ASSERT_TRUE(VirtualDevice::SetInputFile(path.c_str()));
    HWAVEIN in = OpenIn(&recorder);
    Block back(400);
    QueueAndStart(in, {&back});
    VirtualDevice::Advance(400);
    std::vector<std::int16_t> expected = tone.data;
    expected.resize(400, 0);  // the file once, then silence
    EXPECT_EQ(Captured(back.header), expected);
    waveInUnprepareHeader(in, &back.header, sizeof(WAVEHDR));
    waveInClose(in);
    VirtualDevice::SetOutputMemory();
    std::remove(path.c_str());
}

TEST_F(WaveIn, DisconnectReturnsQueuedHeadersAndLaterCallsFail) {
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    Block a(100), b(100);
    QueueAndStart(device, {&a, &b});
    VirtualDevice::Advance(10);
    VirtualDevice::Disconnect();
    EXPECT_EQ(recorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(a.header.dwBytesRecorded, 20u);
    EXPECT_EQ(waveInStart(device), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInAddBuffer(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInPrepareHeader(device, &a.header, sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInStop(device), MMSYSERR_NOERROR);
    for (Block* block : {&a, &b}) EXPECT_EQ(waveInUnprepareHeader(device, &block->header, sizeof(WAVEHDR)), 0u);
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, BadHandlesAndFaults) {
    Block block(10);
    MMTIME time{};
    EXPECT_EQ(waveInStart(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStop(nullptr), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInReset(reinterpret_cast<HWAVEIN>(0x12345)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInAddBuffer(nullptr, &block.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInGetPosition(nullptr, &time, sizeof time), MMSYSERR_INVALHANDLE);
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    VirtualDevice::FailNext("waveInStart", MMSYSERR_ALLOCATED);
    EXPECT_EQ(waveInStart(device), MMSYSERR_ALLOCATED);
    VirtualDevice::FailNext("waveInClose", MMSYSERR_ERROR);
    EXPECT_EQ(waveInClose(device), MMSYSERR_ERROR);  // still open
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(device), MMSYSERR_INVALHANDLE);
    WAVEFORMATEX eightBit = Pcm16();
    eightBit.wBitsPerSample = 8;
    eightBit.nBlockAlign = 1;
    eightBit.nAvgBytesPerSec = 16000;
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &eightBit, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    WAVEFORMATEX good = Pcm16(44100, 2);
    EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInOpen(nullptr, 1, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_BADDEVICEID);
}

TEST_F(WaveIn, InputFilesThatAreNot16BitPcmAreRefused) {
    std::string base = ::testing::TempDir() + "sorn_bad_" + std::to_string(::getpid());
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::string path = base + name;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return path;
    };
    auto le32 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    auto le16 = [](std::uint16_t v) { return std::string{char(v), char(v >> 8)}; };
    auto fmt = [&](std::uint16_t tag, std::uint16_t bits) {
        return "fmt " + le32(16) + le16(tag) + le16(1) + le32(8000) + le32(16000) + le16(2) + le16(bits);
    };
    std::string good = "RIFF" + le32(40) + "WAVE" + fmt(1, 16) + "data" + le32(4) + le16(5) + le16(6);
    std::vector<std::string> paths = {
        write("empty.wav", ""),
        write("notriff.wav", "RIFX" + good.substr(4)),
        write("eightbit.wav", "RIFF" + le32(40) + "WAVE" + fmt(1, 8) + "data" + le32(2) + "ab"),
        write("float.wav", "RIFF" + le32(40) + "WAVE" + fmt(3, 16) + "data" + le32(2) + "ab"),
        write("nodata.wav", "RIFF" + le32(28) + "WAVE" + fmt(1, 16)),
        write("datafirst.wav", "RIFF" + le32(40) + "WAVE" + "data" + le32(2) + "ab" + fmt(1, 16)),
        write("hugefmt.wav", "RIFF" + le32(40) + "WAVE" + "fmt " + le32(0xFFFFFFF0u) + "x"),
    };
    for (const std::string& path : paths) {
        EXPECT_FALSE(VirtualDevice::SetInputFile(path.c_str())) << path;
        std::remove(path.c_str());
    }
    // A data size beyond the end of the file takes what is there.
    std::string cut = write("cut.wav", "RIFF" + le32(40) + "WAVE" + fmt(1, 16) + "data" + le32(1000) + le16(5) + le16(6));
    ASSERT_TRUE(VirtualDevice::SetInputFile(cut.c_str()));
    std::remove(cut.c_str());
    Recorder recorder;
    HWAVEIN device = OpenIn(&recorder);
    Block block(3);
    QueueAndStart(device, {&block});
    VirtualDevice::Advance(3);
    EXPECT_EQ(Captured(block.header), (std::vector<std::int16_t>{5, 6, 0}));
    waveInUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    waveInClose(device);
}

TEST_F(WaveIn, WithoutACallbackHeadersAreStillFilledAndMarkedDone) {
    VirtualDevice::SetInputSamples({4, 4, 4, 4}, true);
    HWAVEIN device = nullptr;
    WAVEFORMATEX format = Pcm16();
    ASSERT_EQ(waveInOpen(&device, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    Block block(8);
    QueueAndStart(device, {&block});
    VirtualDevice::Advance(8);
    ASSERT_TRUE(VirtualDevice::WaitIdle(5000));
    EXPECT_EQ(block.header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(block.header.dwBytesRecorded, 16u);
    waveInUnprepareHeader(device, &block.header, sizeof(WAVEHDR));
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, MangledInputFilesNeverCrashTheReader) {
    // A valid file with an extra chunk, then cut and bit-flipped at random
    // (a fixed seed: the same files every run).
    auto le32 = [](std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
    std::string good = "RIFF" + le32(64) + "WAVE" + "LIST" + le32(3) + "abc" + std::string(1, '\0') + "fmt " +
                       le32(16) + std::string("\x01\x00\x02\x00\x40\x1f\x00\x00\x00\x7d\x00\x00\x04\x00\x10\x00", 16) +
                       "data" + le32(16) + std::string(16, '\x11');
    std::string path = ::testing::TempDir() + "sorn_mangled_" + std::to_string(::getpid()) + ".wav";
    std::mt19937 random(12345);
    int accepted = 0;
    for (int i = 0; i < 100; ++i) {
        std::string bytes = good.substr(0, random() % (good.size() + 1));
        for (int flips = random() % 4; flips > 0 && !bytes.empty(); --flips)
            bytes[random() % bytes.size()] = static_cast<char>(random());
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        if (VirtualDevice::SetInputFile(path.c_str())) ++accepted;
    }
    std::remove(path.c_str());
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, 100);
}
