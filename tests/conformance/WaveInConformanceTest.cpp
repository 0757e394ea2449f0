// waveIn* as the platform documents it: stop versus reset, the recorded
// counts and the position. The default input records the default output's
// monitor, so it always delivers.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "conformance/ConformanceSupport.h"

namespace {

using namespace std::chrono_literals;
using namespace sorn::conformance;

constexpr auto kLimit = 6s;

class WaveInConformance : public ::testing::Test {
protected:
    void SetUp() override {
        CONFORMANCE_NEED_SERVER();
        ASSERT_EQ(log_.Open(&device_), MMSYSERR_NOERROR);
        // Three headers of 2 s each, queued.
        MakeHeaders(data_, headers_, 3, 2000);
        for (std::size_t i = 0; i < headers_.size(); ++i) {
            ASSERT_EQ(waveInPrepareHeader(device_, &headers_[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            EXPECT_EQ(headers_[i].dwFlags, WHDR_PREPARED);
            ASSERT_EQ(waveInAddBuffer(device_, &headers_[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
            EXPECT_EQ(headers_[i].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
        }
    }
    void TearDown() override {
        if (!device_) return;
        waveInReset(device_);
        for (auto& header : headers_) waveInUnprepareHeader(device_, &header, sizeof(WAVEHDR));
        EXPECT_EQ(waveInClose(device_), MMSYSERR_NOERROR);
    }

    MMRESULT Prepare(WAVEHDR& header) { return waveInPrepareHeader(device_, &header, sizeof(WAVEHDR)); }
    MMRESULT Unprepare(WAVEHDR& header) { return waveInUnprepareHeader(device_, &header, sizeof(WAVEHDR)); }
    MMRESULT Add(WAVEHDR& header) { return waveInAddBuffer(device_, &header, sizeof(WAVEHDR)); }
    DWORD Position(UINT type) { return sorn::conformance::PositionOf(device_, type); }
    // Waits until the position reaches `samples`.
    bool WaitPosition(DWORD samples) {
        const auto end = std::chrono::steady_clock::now() + kLimit;
        while (Position(TIME_SAMPLES) < samples) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    HWAVEIN device_ = nullptr;
    MessageLog log_;
    std::vector<std::vector<char>> data_;
    std::vector<WAVEHDR> headers_;
};

// waveInStop returns the partly filled header, done, with the bytes recorded
// so far, and keeps the empty ones queued; waveInReset returns all of them,
// in order, done and no longer queued. Unprepare refuses while the header is
// queued.
TEST_F(WaveInConformance, StopReturnsThePartlyFilledHeaderResetReturnsAll) {
    EXPECT_EQ(waveInUnprepareHeader(device_, &headers_[2], sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitPosition(kRate / 5));
    ASSERT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WIM_DATA, 1, kLimit));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log_.Count(WIM_DATA), 1u) << "stop returns only the current header";
    EXPECT_EQ(headers_[0].dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_GT(headers_[0].dwBytesRecorded, 0u);
    EXPECT_LT(headers_[0].dwBytesRecorded, headers_[0].dwBufferLength);
    EXPECT_EQ(headers_[0].dwBytesRecorded % 2, 0u);
    EXPECT_EQ(headers_[1].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
    EXPECT_EQ(headers_[2].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);

    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    const DWORD stopped = Position(TIME_SAMPLES);
    ASSERT_TRUE(WaitPosition(stopped + kRate / 5));
    ASSERT_EQ(waveInReset(device_), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WIM_DATA, 3, kLimit));
    std::vector<Message> data;
    for (const Message& m : log_.Messages())
        if (m.message == WIM_DATA) data.push_back(m);
    ASSERT_EQ(data.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(data[i].header, &headers_[i]) << i;
        EXPECT_EQ(headers_[i].dwFlags, WHDR_PREPARED | WHDR_DONE) << i;
    }
    EXPECT_GT(headers_[1].dwBytesRecorded, 0u) << "the header being filled keeps its count";
    EXPECT_EQ(headers_[1].dwBytesRecorded % 2, 0u);
    EXPECT_EQ(headers_[2].dwBytesRecorded, 0u);
}

// The position counts captured samples (bytes: two per sample here), holds
// after a stop and returns to 0 after a reset.
TEST_F(WaveInConformance, PositionCountsCapturedSamples) {
    EXPECT_EQ(Position(TIME_SAMPLES), 0u);
    ASSERT_EQ(waveInStart(device_), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitPosition(kRate / 4));
    ASSERT_EQ(waveInStop(device_), MMSYSERR_NOERROR);
    const DWORD stopped = Position(TIME_SAMPLES);
    EXPECT_GE(stopped, kRate / 4);
    EXPECT_EQ(Position(TIME_BYTES), 2 * stopped);
    std::this_thread::sleep_for(150ms);
    if (OnWine()) {
        // Wine goes on counting what its device captured before the stop
        // for a moment (platform/emulation/Conformance.md).
        EXPECT_LE(Position(TIME_SAMPLES) - stopped, kRate / 20);
    } else {
        EXPECT_EQ(Position(TIME_SAMPLES), stopped) << "a stopped device does not advance";
    }
    ASSERT_TRUE(log_.WaitCount(WIM_DATA, 1, kLimit));
    // The header holds at most what the position counts (Wine may keep the
    // last few milliseconds captured in a buffer of its own).
    EXPECT_GT(headers_[0].dwBytesRecorded, 0u);
    EXPECT_LE(headers_[0].dwBytesRecorded, 2 * stopped);
    ASSERT_EQ(waveInReset(device_), MMSYSERR_NOERROR);
    EXPECT_EQ(Position(TIME_SAMPLES), 0u);
    EXPECT_EQ(Position(TIME_BYTES), 0u);
}

// Prepare, unprepare and waveInAddBuffer go by the device's own record of
// the headers it holds, not by the flags the application wrote: a header
// never queued is prepared (to exactly WHDR_PREPARED), unprepared and added
// whatever WHDR_INQUEUE says, and a prepared header is prepared again with no
// effect. A queued header whose flags were cleared is still refused by
// unprepare and add. (Wine's unprepare believes WHDR_INQUEUE:
// platform/emulation/Conformance.md.)
TEST_F(WaveInConformance, PrepareUnprepareAndAddGoByTheDevicesOwnQueue) {
    std::vector<std::vector<char>> data;
    std::vector<WAVEHDR> extra;
    MakeHeaders(data, extra, 1, 50);
    WAVEHDR& stray = extra[0];
    ExpectPrepareIgnoresClaimedQueue(stray, [this](WAVEHDR& header) { return Prepare(header); });
    EXPECT_EQ(Unprepare(stray), OnWine() ? WAVERR_STILLPLAYING : MMSYSERR_NOERROR);
    EXPECT_EQ(stray.dwFlags & WHDR_PREPARED, OnWine() ? WHDR_PREPARED : 0u);

    // Wine would queue the header twice.
    if (!OnWine()) {
        WAVEHDR& queued = headers_[0];
        queued.dwFlags = WHDR_PREPARED;
        EXPECT_EQ(Unprepare(queued), WAVERR_STILLPLAYING);
        EXPECT_EQ(Add(queued), WAVERR_STILLPLAYING);
        EXPECT_EQ(Prepare(queued), MMSYSERR_NOERROR);
        EXPECT_EQ(queued.dwFlags, WHDR_PREPARED);
    }

    stray.dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
    ASSERT_EQ(Add(stray), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInReset(device_), MMSYSERR_NOERROR);
    ASSERT_TRUE(log_.WaitCount(WIM_DATA, 4, kLimit));
    EXPECT_EQ(log_.Messages().back().header, &stray);
    EXPECT_EQ(stray.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(Prepare(stray), MMSYSERR_NOERROR);
    EXPECT_EQ(stray.dwFlags, WHDR_PREPARED | WHDR_DONE) << "already prepared: no effect";
    EXPECT_EQ(Unprepare(stray), MMSYSERR_NOERROR);
}

}  // namespace
