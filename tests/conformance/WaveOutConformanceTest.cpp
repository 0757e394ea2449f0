// waveOut* as the platform documents it, judged the same way on our Linux
// implementation and on the system's (Wine's) one.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "conformance/ConformanceSupport.h"

namespace {

using namespace std::chrono_literals;
using namespace sorn::conformance;

constexpr auto kLimit = 6s;  // an idle null sink may hold a new stream for 2 s

// An output device opened on the default device with a message log, and
// silent buffers of a given length.
class WaveOutConformance : public ::testing::Test {
protected:
    void SetUp() override {
        CONFORMANCE_NEED_SERVER();
        ASSERT_EQ(log_.Open(&device_), MMSYSERR_NOERROR);
    }
    void TearDown() override {
        if (!device_) return;
        waveOutReset(device_);
        for (auto& header : headers_) waveOutUnprepareHeader(device_, &header, sizeof(WAVEHDR));
        waveOutClose(device_);
    }

    // `count` prepared headers of `ms` milliseconds of silence each.
    void MakeHeaders(std::size_t count, unsigned ms) {
        sorn::conformance::MakeHeaders(data_, headers_, count, ms);
    }
    MMRESULT Prepare(WAVEHDR& header) { return waveOutPrepareHeader(device_, &header, sizeof(WAVEHDR)); }
    MMRESULT Write(WAVEHDR& header) { return waveOutWrite(device_, &header, sizeof(WAVEHDR)); }
    MMRESULT Unprepare(WAVEHDR& header) { return waveOutUnprepareHeader(device_, &header, sizeof(WAVEHDR)); }
    DWORD Position(UINT type) { return sorn::conformance::PositionOf(device_, type); }

    HWAVEOUT device_ = nullptr;
    MessageLog log_;
    std::vector<std::vector<char>> data_;
    std::vector<WAVEHDR> headers_;
};

// Flags through a header's life: prepared; queued; done; returned by a reset;
// unprepared. Unpreparing or writing a header while it is queued is refused.
TEST_F(WaveOutConformance, HeaderFlagsThroughPrepareWriteDoneResetUnprepare) {
    MakeHeaders(2, 200);
    WAVEHDR& short_ = headers_[0];
    WAVEHDR& long_ = headers_[1];
    EXPECT_EQ(Write(short_), WAVERR_UNPREPARED);
    ASSERT_EQ(Prepare(short_), MMSYSERR_NOERROR);
    EXPECT_EQ(short_.dwFlags, WHDR_PREPARED);
    EXPECT_EQ(Prepare(short_), MMSYSERR_NOERROR) << "preparing twice is harmless";
    EXPECT_EQ(short_.dwFlags, WHDR_PREPARED);

    ASSERT_EQ(Write(short_), MMSYSERR_NOERROR);
    EXPECT_EQ(short_.dwFlags & (WHDR_PREPARED | WHDR_INQUEUE), WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(Unprepare(short_), WAVERR_STILLPLAYING);
    ASSERT_TRUE(log_.WaitCount(WOM_DONE, 1, kLimit));
    EXPECT_EQ(short_.dwFlags, WHDR_PREPARED | WHDR_DONE);

    // A reset returns the queued header done and no longer queued.
    ASSERT_EQ(Prepare(long_), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(device_), MMSYSERR_NOERROR);
    ASSERT_EQ(Write(long_), MMSYSERR_NOERROR);
    EXPECT_EQ(long_.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    ASSERT_EQ(waveOutReset(device_), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WOM_DONE, 2, kLimit));
    EXPECT_EQ(long_.dwFlags, WHDR_PREPARED | WHDR_DONE);

    ASSERT_EQ(Unprepare(short_), MMSYSERR_NOERROR);
    EXPECT_EQ(short_.dwFlags & WHDR_PREPARED, 0u);
    EXPECT_EQ(Unprepare(short_), MMSYSERR_NOERROR) << "unpreparing an unprepared header is harmless";
}

// Queued headers complete in queue order, each once, after WOM_OPEN; close
// sends WOM_CLOSE last.
TEST_F(WaveOutConformance, CompletionOrderAndOpenCloseMessages) {
    MakeHeaders(4, 60);
    for (auto& header : headers_) ASSERT_EQ(Prepare(header), MMSYSERR_NOERROR);
    for (auto& header : headers_) ASSERT_EQ(Write(header), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WOM_DONE, headers_.size(), kLimit));
    std::this_thread::sleep_for(100ms);  // room for a stray second completion
    for (auto& header : headers_) {
        EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
        ASSERT_EQ(Unprepare(header), MMSYSERR_NOERROR);
    }
    ASSERT_EQ(waveOutClose(device_), MMSYSERR_NOERROR);
    const HWAVEOUT closed = device_;
    device_ = nullptr;

    std::vector<Message> messages = log_.Messages();
    ASSERT_EQ(messages.size(), headers_.size() + 2);
    EXPECT_EQ(messages.front().message, WOM_OPEN);
    EXPECT_EQ(messages.back().message, WOM_CLOSE);
    for (std::size_t i = 0; i < headers_.size(); ++i) {
        EXPECT_EQ(messages[i + 1].message, WOM_DONE);
        EXPECT_EQ(messages[i + 1].header, &headers_[i]) << "completion " << i;
        EXPECT_TRUE(messages[i + 1].flags & WHDR_DONE);
    }
    EXPECT_EQ(waveOutClose(closed), MMSYSERR_INVALHANDLE);
}

// A callback function gets WOM_OPEN / WOM_CLOSE (WIM_OPEN / WIM_CLOSE) on
// the thread that opens or closes the device, before that call returns;
// completions come on another thread. Output and input alike.
TEST_F(WaveOutConformance, OpenAndCloseNoticesOnTheCallingThread) {
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<Message> messages = log_.Messages();
    ASSERT_EQ(messages.size(), 1u) << "WOM_OPEN came before waveOutOpen returned";
    EXPECT_EQ(messages[0].message, WOM_OPEN);
    EXPECT_EQ(messages[0].thread, caller);
    MakeHeaders(2, 50);
    ASSERT_EQ(Prepare(headers_[0]), MMSYSERR_NOERROR);
    ASSERT_EQ(Write(headers_[0]), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WOM_DONE, 1, kLimit));
    ASSERT_EQ(Unprepare(headers_[0]), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutClose(device_), MMSYSERR_NOERROR);
    device_ = nullptr;
    messages = log_.Messages();
    ASSERT_EQ(messages.size(), 3u) << "WOM_CLOSE came before waveOutClose returned";
    EXPECT_NE(messages[1].thread, caller) << "WOM_DONE";
    EXPECT_EQ(messages[2].message, WOM_CLOSE);
    EXPECT_EQ(messages[2].thread, caller);

    MessageLog inputLog;
    HWAVEIN input = nullptr;
    ASSERT_EQ(inputLog.Open(&input), MMSYSERR_NOERROR);
    messages = inputLog.Messages();
    ASSERT_EQ(messages.size(), 1u) << "WIM_OPEN came before waveInOpen returned";
    EXPECT_EQ(messages[0].message, WIM_OPEN);
    EXPECT_EQ(messages[0].thread, caller);
    WAVEHDR& header = headers_[1];
    ASSERT_EQ(waveInPrepareHeader(input, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(input, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(input), MMSYSERR_NOERROR);
    EXPECT_TRUE(inputLog.WaitCount(WIM_DATA, 1, kLimit));
    EXPECT_EQ(waveInReset(input), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInUnprepareHeader(input, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInClose(input), MMSYSERR_NOERROR);
    messages = inputLog.Messages();
    ASSERT_EQ(messages.size(), 3u) << "WIM_CLOSE came before waveInClose returned";
    EXPECT_NE(messages[1].thread, caller) << "WIM_DATA";
    EXPECT_EQ(messages[2].message, WIM_CLOSE);
    EXPECT_EQ(messages[2].thread, caller);
}

// Prepare, unprepare and write go by the device's own record of the headers
// it holds, not by the flags the application wrote: a header never queued is
// prepared (to exactly WHDR_PREPARED), unprepared and written whatever
// WHDR_INQUEUE says, and a prepared header is prepared again with no effect.
// A queued header whose flags were cleared is still refused by unprepare and
// write. (Wine's unprepare and write believe WHDR_INQUEUE:
// platform/emulation/Conformance.md.)
TEST_F(WaveOutConformance, PrepareUnprepareAndWriteGoByTheDevicesOwnQueue) {
    MakeHeaders(2, 50);
    WAVEHDR& stray = headers_[0];
    ExpectPrepareIgnoresClaimedQueue(stray, [this](WAVEHDR& header) { return Prepare(header); });
    const MMRESULT strayAnswer = OnWine() ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR;
    EXPECT_EQ(Unprepare(stray), strayAnswer);
    EXPECT_EQ(stray.dwFlags & WHDR_PREPARED, OnWine() ? WHDR_PREPARED : 0u);
    stray.dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
    EXPECT_EQ(Write(stray), strayAnswer);
    if (OnWine()) {
        stray.dwFlags = WHDR_PREPARED;
        ASSERT_EQ(Write(stray), MMSYSERR_NOERROR);
    }
    ASSERT_TRUE(log_.WaitCount(WOM_DONE, 1, kLimit));
    EXPECT_EQ(stray.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(Prepare(stray), MMSYSERR_NOERROR);
    EXPECT_EQ(stray.dwFlags, WHDR_PREPARED | WHDR_DONE) << "already prepared: no effect";
    if (OnWine()) return;  // Wine would queue a header twice below

    WAVEHDR& queued = headers_[1];
    ASSERT_EQ(Prepare(queued), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(device_), MMSYSERR_NOERROR);
    ASSERT_EQ(Write(queued), MMSYSERR_NOERROR);
    queued.dwFlags = WHDR_PREPARED;
    EXPECT_EQ(Unprepare(queued), WAVERR_STILLPLAYING);
    EXPECT_EQ(Write(queued), WAVERR_STILLPLAYING);
    EXPECT_EQ(Prepare(queued), MMSYSERR_NOERROR);
    EXPECT_EQ(queued.dwFlags, WHDR_PREPARED);
    ASSERT_EQ(waveOutReset(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(log_.Count(WOM_DONE), 2u);
}

// Close refuses while headers are queued and leaves the device open, output
// and input alike. (Wine closes: see platform/emulation/Conformance.md.)
TEST_F(WaveOutConformance, CloseWithQueuedHeadersIsRefused) {
    MakeHeaders(2, 1000);
    for (auto& header : headers_) ASSERT_EQ(Prepare(header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutPause(device_), MMSYSERR_NOERROR);
    for (auto& header : headers_) ASSERT_EQ(Write(header), MMSYSERR_NOERROR);
    if (OnWine()) {
        EXPECT_EQ(waveOutClose(device_), MMSYSERR_NOERROR);
        device_ = nullptr;
    } else {
        EXPECT_EQ(waveOutClose(device_), WAVERR_STILLPLAYING);
        EXPECT_EQ(log_.Count(WOM_CLOSE), 0u);
        EXPECT_EQ(headers_[0].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
        EXPECT_EQ(Position(TIME_SAMPLES), 0u) << "still open";
        ASSERT_EQ(waveOutReset(device_), MMSYSERR_NOERROR);
        ASSERT_TRUE(log_.WaitCount(WOM_DONE, 2, kLimit));
        for (auto& header : headers_) ASSERT_EQ(Unprepare(header), MMSYSERR_NOERROR);
        EXPECT_EQ(waveOutClose(device_), MMSYSERR_NOERROR);
        device_ = nullptr;
        EXPECT_TRUE(log_.WaitCount(WOM_CLOSE, 1, kLimit));
    }

    HWAVEIN input = nullptr;
    const WAVEFORMATEX format = Pcm16();
    ASSERT_EQ(waveInOpen(&input, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    WAVEHDR& header = headers_[0];
    header.dwFlags = 0;
    ASSERT_EQ(waveInPrepareHeader(input, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(input, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    if (OnWine()) {
        EXPECT_EQ(waveInClose(input), MMSYSERR_NOERROR);
        return;
    }
    EXPECT_EQ(waveInClose(input), WAVERR_STILLPLAYING);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(waveInReset(input), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(waveInUnprepareHeader(input, &header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(input), MMSYSERR_NOERROR);
}

// The position in samples and in bytes: it holds while paused, counts a
// played header whole, and a reset sets it to 0.
TEST_F(WaveOutConformance, PositionAfterPauseDoneAndReset) {
    MakeHeaders(2, 250);
    for (auto& header : headers_) ASSERT_EQ(Prepare(header), MMSYSERR_NOERROR);
    EXPECT_EQ(Position(TIME_SAMPLES), 0u);
    ASSERT_EQ(Write(headers_[0]), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WOM_DONE, 1, kLimit));
    EXPECT_EQ(Position(TIME_SAMPLES), kRate / 4);
    EXPECT_EQ(Position(TIME_BYTES), kRate / 2);

    ASSERT_EQ(Write(headers_[1]), MMSYSERR_NOERROR);
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(waveOutPause(device_), MMSYSERR_NOERROR);
    const DWORD paused = Position(TIME_SAMPLES);
    EXPECT_GE(paused, kRate / 4);
    EXPECT_LE(paused, kRate / 2);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(Position(TIME_SAMPLES), paused) << "a paused device does not advance";
    EXPECT_EQ(Position(TIME_BYTES), 2 * paused);

    ASSERT_EQ(waveOutReset(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(Position(TIME_SAMPLES), 0u);
    EXPECT_EQ(Position(TIME_BYTES), 0u);
}

// Format questions open nothing; supported 16-bit PCM formats are accepted,
// malformed or unknown ones are refused with WAVERR_BADFORMAT.
TEST(WaveFormatConformance, QueryAcceptsPcmAndRefusesBadFormats) {
    CONFORMANCE_NEED_SERVER();
    for (const WAVEFORMATEX& good : {Pcm16(), Pcm16(44100, 2), Pcm16(48000, 1)}) {
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR)
            << good.nSamplesPerSec << " Hz " << good.nChannels << " ch";
        EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &good, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR)
            << good.nSamplesPerSec << " Hz " << good.nChannels << " ch";
    }
    WAVEFORMATEX unknown = Pcm16();
    unknown.wFormatTag = 0x7F7F;
    WAVEFORMATEX noChannels = Pcm16();
    noChannels.nChannels = 0;
    WAVEFORMATEX badAlign = Pcm16();
    badAlign.nBlockAlign = 3;
    int i = 0;
    for (const WAVEFORMATEX& bad : {unknown, noChannels, badAlign}) {
        // Wine takes PCM with no channels or a wrong block size (see
        // platform/emulation/Conformance.md).
        const MMRESULT expected = OnWine() && i > 0 ? MMSYSERR_NOERROR : WAVERR_BADFORMAT;
        HWAVEOUT out = nullptr;
        EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &bad, 0, 0, WAVE_FORMAT_QUERY), expected) << i;
        EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &bad, 0, 0, CALLBACK_NULL), expected) << i;
        if (out) {
            EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(waveInOpen(nullptr, WAVE_MAPPER, &bad, 0, 0, WAVE_FORMAT_QUERY), expected) << i;
        ++i;
    }
}

// A time record one byte short is an error (MMSYSERR_ERROR); one byte long
// is taken. Output and input alike.
TEST(WaveArgumentConformance, ShortTimeRecordIsAnError) {
    CONFORMANCE_NEED_SERVER();
    const WAVEFORMATEX format = Pcm16();
    HWAVEOUT out = nullptr;
    HWAVEIN in = nullptr;
    ASSERT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    struct {
        MMTIME time;
        char spare;
    } record{};
    record.time.wType = TIME_BYTES;
    EXPECT_EQ(waveOutGetPosition(out, &record.time, sizeof(MMTIME) - 1), MMSYSERR_ERROR);
    EXPECT_EQ(waveInGetPosition(in, &record.time, sizeof(MMTIME) - 1), MMSYSERR_ERROR);
    EXPECT_EQ(waveOutGetPosition(out, &record.time, sizeof(MMTIME) + 1), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInGetPosition(in, &record.time, sizeof(MMTIME) + 1), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(out), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

// Bad handles, null pointers and short sizes.
TEST(WaveArgumentConformance, BadHandlesPointersAndSizes) {
    CONFORMANCE_NEED_SERVER();
    const auto bogus = reinterpret_cast<HWAVEOUT>(static_cast<std::uintptr_t>(0x7A5E));
    WAVEHDR header{};
    char data[64] = {};
    header.lpData = data;
    header.dwBufferLength = sizeof(data);
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    for (HWAVEOUT bad : {HWAVEOUT{}, bogus}) {
        EXPECT_EQ(waveOutClose(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutPrepareHeader(bad, &header, sizeof(header)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutWrite(bad, &header, sizeof(header)), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutReset(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutPause(bad), MMSYSERR_INVALHANDLE);
        EXPECT_EQ(waveOutGetPosition(bad, &time, sizeof(time)), MMSYSERR_INVALHANDLE);
    }
    EXPECT_EQ(waveInClose(HWAVEIN{}), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveInStart(HWAVEIN{}), MMSYSERR_INVALHANDLE);

    const WAVEFORMATEX format = Pcm16();
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_INVALPARAM);
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, waveOutGetNumDevs(), &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    WAVEOUTCAPSA caps{};
    EXPECT_EQ(waveOutGetDevCapsA(waveOutGetNumDevs(), &caps, sizeof(caps)), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(waveOutGetDevCapsA(0, nullptr, sizeof(caps)), MMSYSERR_INVALPARAM);

    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutPrepareHeader(device, nullptr, sizeof(header)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutPrepareHeader(device, &header, sizeof(header) - 1), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutUnprepareHeader(device, nullptr, sizeof(header)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(waveOutGetPosition(device, nullptr, sizeof(time)), MMSYSERR_INVALPARAM);
    // Wine's waveOutWrite reads through a null header (see
    // platform/emulation/Conformance.md).
    if (!OnWine()) {
        EXPECT_EQ(waveOutWrite(device, nullptr, sizeof(header)), MMSYSERR_INVALPARAM);
    }
    EXPECT_EQ(header.dwFlags, 0u);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_INVALHANDLE) << "a closed handle";
}

}  // namespace
