// The ALSA backend without a sound server: alsa-lib's null PCM (plays to
// nowhere as fast as it is given, captures silence) and its file PCM (what
// is played lands in a file) stand in for a card, through the test's own
// alsa-lib configuration (ALSA_CONFIG_PATH, see sorn-alsa-test.conf.in).
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio_device/SoundServerDevices.h"
#include "backend_alsa/AlsaTestSupport.h"
#include "platform/MMSystem.h"
#include "platform/Mixer.h"
#include "platform/backends/alsa/AlsaBackend.h"
#include "platform/backends/alsa/AlsaMixer.h"
#include "platform/backends/alsa/AlsaStream.h"
#include "platform/emulation/wave/Backend.h"
#include "platform/emulation/wave/BackendTable.h"

namespace {

using sorn::devicetest::Pcm16;
using sorn::devicetest::WaitFor;
namespace alsa = sorn::audio::alsa;

class AlsaWithoutServer : public ::testing::Test {
protected:
    void TearDown() override { sorn::audio::SelectBackend("virtual"); }
};

// Formats: the rates and channel counts a client uses are given by
// alsa-lib's plug layer, so the format question answers yes for them; a rate
// below what its rate converter takes (4 kHz) is a bad format, never one we
// would convert ourselves or play at another rate. A device alsa-lib does not know answers MMSYSERR_NODRIVER, to the
// question and to an open, and never hangs or crashes.
TEST_F(AlsaWithoutServer, FormatQueriesGoThroughThePlugLayer) {
    ASSERT_EQ(sorn::audio::SelectBackend("alsa:sorn_null"), MMSYSERR_NOERROR);
    EXPECT_STREQ(sorn::audio::SelectedBackendName(), "alsa");
    ASSERT_GE(waveOutGetNumDevs(), 1u);
    ASSERT_GE(waveInGetNumDevs(), 1u);
    WAVEOUTCAPSA caps{};
    ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "ALSA sorn_null");
    for (DWORD rate : {4000u, 8000u, 11025u, 16000u, 22050u, 44100u, 48000u, 96000u, 384000u}) {
        for (WORD channels : {1, 2, 6, 8}) {
            WAVEFORMATEX format = Pcm16(rate, channels);
            EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR)
                << rate << " Hz, " << channels << " channels out";
            EXPECT_EQ(waveInOpen(nullptr, 0, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR)
                << rate << " Hz, " << channels << " channels in";
        }
    }
    WAVEFORMATEX slow = Pcm16(1000, 1);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &slow, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);
    HWAVEOUT refused = nullptr;
    EXPECT_EQ(waveOutOpen(&refused, WAVE_MAPPER, &slow, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    // The layer refuses what is not 16-bit PCM before the backend is asked.
    WAVEFORMATEX eight = Pcm16(16000, 1);
    eight.wBitsPerSample = 8;
    eight.nBlockAlign = 1;
    eight.nAvgBytesPerSec = 16000;
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &eight, 0, 0, WAVE_FORMAT_QUERY), WAVERR_BADFORMAT);

    ASSERT_EQ(sorn::audio::SelectBackend("alsa:sorn_no_such_pcm"), MMSYSERR_NOERROR);
    WAVEFORMATEX format = Pcm16(16000, 1);
    EXPECT_EQ(waveOutOpen(nullptr, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NODRIVER);
    HWAVEOUT out = nullptr;
    EXPECT_EQ(waveOutOpen(&out, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    HWAVEIN in = nullptr;
    EXPECT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(sorn::audio::SelectBackend("alsa:two words"), MMSYSERR_INVALPARAM);
}

// Playback keeps every byte, in order, in the client's own format: what the
// file PCM received is what was queued (the plug layer has nothing to
// convert, and the backend converts nothing), every header comes back done
// in order, and the position counts every frame. The null PCM's clock runs
// as fast as it is fed, so this takes no real time.
TEST_F(AlsaWithoutServer, PlaybackReachesTheDeviceWholeAndInOrder) {
    const std::string played = std::string(SORN_ALSA_TEST_DIR) + "/played.raw";
    std::remove(played.c_str());
    ASSERT_EQ(sorn::audio::SelectBackend("alsa:sorn_file"), MMSYSERR_NOERROR);
    WAVEFORMATEX format = Pcm16(22050, 2);
    HWAVEOUT out = nullptr;
    sorn::alsatest::Completions done;
    ASSERT_EQ(done.Open(&out, format), MMSYSERR_NOERROR);
    constexpr std::size_t kHeaders = 5;
    constexpr std::size_t kSamples = 2 * 2205;  // 100 ms of stereo
    std::vector<std::vector<std::int16_t>> blocks(kHeaders, std::vector<std::int16_t>(kSamples));
    std::vector<WAVEHDR> headers;
    std::vector<std::int16_t> expected;
    for (std::size_t h = 0; h < kHeaders; ++h) {
        for (std::size_t i = 0; i < kSamples; ++i)
            blocks[h][i] = static_cast<std::int16_t>((h * kSamples + i) * 7 % 65536 - 32768);
        expected.insert(expected.end(), blocks[h].begin(), blocks[h].end());
    }
    ASSERT_NO_FATAL_FAILURE(sorn::alsatest::QueueNumbered(out, blocks, headers));
    ASSERT_TRUE(WaitFor([&] { return done.Count() == kHeaders; }, std::chrono::seconds(5)));
    EXPECT_EQ(done.Order(), (std::vector<DWORD_PTR>{0, 1, 2, 3, 4}));
    for (WAVEHDR& header : headers) EXPECT_TRUE(header.dwFlags & WHDR_DONE);
    ASSERT_NO_FATAL_FAILURE(sorn::alsatest::ExpectSamplePosition(out, kHeaders * kSamples / 2));
    for (WAVEHDR& header : headers) waveOutUnprepareHeader(out, &header, sizeof(WAVEHDR));
    ASSERT_EQ(waveOutClose(out), MMSYSERR_NOERROR);

    std::ifstream file(played, std::ios::binary);
    ASSERT_TRUE(file) << played;
    std::vector<char> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    ASSERT_GE(bytes.size(), expected.size() * 2);
    std::vector<std::int16_t> got(expected.size());
    std::memcpy(got.data(), bytes.data(), got.size() * 2);
    EXPECT_TRUE(got == expected) << "the device did not receive the queued bytes as they were";
    // Whatever follows (silence that plays the last frames out) is silence.
    for (std::size_t i = expected.size() * 2; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], 0) << "at byte " << i;
}

// Capture on the null PCM delivers its silence through the layer, and
// stopping, resetting and closing come back at once.
TEST_F(AlsaWithoutServer, CaptureStartsStopsAndCloses) {
    ASSERT_EQ(sorn::audio::SelectBackend("alsa:sorn_null"), MMSYSERR_NOERROR);
    WAVEFORMATEX format = Pcm16(16000, 1);
    HWAVEIN in = nullptr;
    sorn::alsatest::Completions done;
    ASSERT_EQ(done.Open(&in, format), MMSYSERR_NOERROR);
    std::vector<std::int16_t> block(1600, 1);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(block.data());
    header.dwBufferLength = static_cast<DWORD>(block.size() * 2);
    ASSERT_EQ(waveInPrepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(in, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitFor([&] { return done.Count() == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(header.dwBytesRecorded, header.dwBufferLength);
    for (std::int16_t sample : block) ASSERT_EQ(sample, 0);
    EXPECT_EQ(waveInStop(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInReset(in), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInUnprepareHeader(in, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

// The names a device is opened as, the control device that goes with it,
// the mapping of raw fader values onto an element's range, and the wave
// code of a busy device.
TEST(AlsaNames, PlugLayerControlNamesVolumeMappingAndErrors) {
    EXPECT_EQ(alsa::PluggedName(""), "default");
    EXPECT_EQ(alsa::PluggedName("default"), "default");
    EXPECT_EQ(alsa::PluggedName("plughw:1,0"), "plughw:1,0");
    EXPECT_EQ(alsa::PluggedName("hw:1,0"), "plug:'hw:1,0'");
    EXPECT_EQ(alsa::PluggedName("pulse"), "plug:'pulse'");

    EXPECT_EQ(alsa::ControlName("default"), "default");
    EXPECT_EQ(alsa::ControlName("hw:2,1"), "hw:2");
    EXPECT_EQ(alsa::ControlName("plughw:3,0"), "hw:3");
    EXPECT_EQ(alsa::ControlName("pulse"), "pulse");
    EXPECT_EQ(alsa::ControlName("pulse:sink"), "pulse");

    // An element with at least as many steps as the raw range: exact both
    // ways (the pulse plugin's 0..65536, PA_VOLUME_NORM).
    for (unsigned long raw = 0; raw <= 65535; ++raw) {
        ASSERT_EQ(alsa::ToRaw(alsa::ToElement(raw, 0, 65536), 0, 65536), raw);
    }
    // A card's few steps: the ends meet the ends, the mapping never goes
    // down, and each step reads back as itself.
    EXPECT_EQ(alsa::ToElement(0, -40, 47), -40);
    EXPECT_EQ(alsa::ToElement(65535, -40, 47), 47);
    long last = -41;
    for (unsigned long raw = 0; raw <= 65535; raw += 17) {
        const long value = alsa::ToElement(raw, -40, 47);
        ASSERT_GE(value, last);
        last = value;
    }
    for (long value = -40; value <= 47; ++value)
        ASSERT_EQ(alsa::ToElement(alsa::ToRaw(value, -40, 47), -40, 47), value);
    EXPECT_EQ(alsa::ToRaw(100, 0, 0), 0u);  // no range at all

    EXPECT_EQ(alsa::OpenError(-EBUSY), MMSYSERR_ALLOCATED);
    EXPECT_EQ(alsa::OpenError(-ENOENT), MMSYSERR_NODRIVER);
    EXPECT_EQ(alsa::OpenError(-ENODEV), MMSYSERR_NODRIVER);
}

// Whether this machine has a sound card, as the kernel shows it.
bool HasCard() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/snd", error)) {
        if (entry.path().filename().string().rfind("controlC", 0) == 0) return true;
    }
    return false;
}

// The ALSA row sits between the sound server and the virtual device: with
// no server there, "auto" takes ALSA when a card exists and the virtual
// device otherwise; the probe tells a card from none.
TEST(AlsaSelection, TheRowSitsBetweenTheServerAndTheVirtualDevice) {
    EXPECT_STREQ(sorn::audio::BackendUsage(0), "pulse[:server=ADDRESS]");
    EXPECT_STREQ(sorn::audio::BackendUsage(1), "alsa[:DEVICE]");
    EXPECT_STREQ(sorn::audio::BackendUsage(2), "virtual[:OPTIONS]");
    EXPECT_EQ(sorn::audio::BackendUsage(3), nullptr);
    const bool card = HasCard();
    EXPECT_EQ(alsa::Probe(), card ? sorn::audio::Presence::Answers : sorn::audio::Presence::Absent);
    ::setenv("PULSE_SERVER", "unix:/nonexistent/sorn/native", 1);
    ASSERT_EQ(sorn::audio::SelectBackend("auto"), MMSYSERR_NOERROR);
    EXPECT_STREQ(sorn::audio::SelectedBackendName(), card ? "alsa" : "virtual");
    ASSERT_EQ(sorn::audio::SelectBackend("alsa"), MMSYSERR_NOERROR);
    EXPECT_STREQ(sorn::audio::SelectedBackendName(), "alsa");
    WAVEOUTCAPSA caps{};
    ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_STREQ(caps.szPname, "ALSA default");
    sorn::audio::SelectBackend("virtual");
}

}  // namespace
