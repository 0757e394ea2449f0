// Several virtual devices each way: numbering, names and channels, the
// mapper as the default (and a switch of it), output kept per device, and a
// device removed under a stream. The same rules the sound server's devices
// keep, here without a server.
#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "WaveTestSupport.h"

using namespace wavetest;
using sorn::audio::DescribeDevice;
using sorn::audio::DeviceDescription;
using sorn::audio::SelectBackend;
using sorn::audio::VirtualDevice;

namespace {

using VirtualDevices = SteppedDevice;

constexpr bool kOut = true;
constexpr bool kIn = false;

DeviceDescription Describe(bool output, UINT_PTR id) {
    DeviceDescription description{};
    EXPECT_EQ(DescribeDevice(output, id, &description), MMSYSERR_NOERROR) << (output ? "output " : "input ") << id;
    return description;
}

std::string OutName(UINT_PTR id) {
    WAVEOUTCAPSA caps{};
    if (waveOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<none>";
    return caps.szPname;
}

HWAVEOUT OpenOutOn(UINT id, Recorder* recorder, WAVEFORMATEX format = Pcm16()) {
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, id, &format, reinterpret_cast<DWORD_PTR>(&OutCallback),
                          reinterpret_cast<DWORD_PTR>(recorder), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR)
        << id;
    return device;
}

HWAVEIN OpenInOn(UINT id, Recorder* recorder) {
    HWAVEIN device = nullptr;
    WAVEFORMATEX format = Pcm16();
    EXPECT_EQ(waveInOpen(&device, id, &format, reinterpret_cast<DWORD_PTR>(&InCallback),
                         reinterpret_cast<DWORD_PTR>(recorder), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR)
        << id;
    return device;
}

void CloseOut(HWAVEOUT device, std::initializer_list<Block*> blocks) {
    waveOutReset(device);
    for (Block* block : blocks) waveOutUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

void CloseIn(HWAVEIN device, std::initializer_list<Block*> blocks) {
    waveInReset(device);
    for (Block* block : blocks) waveInUnprepareHeader(device, &block->header, sizeof(WAVEHDR));
    EXPECT_EQ(waveInClose(device), MMSYSERR_NOERROR);
}

std::vector<std::int16_t> Part(const Block& block, std::size_t from, std::size_t to) {
    return {block.data.begin() + static_cast<std::ptrdiff_t>(from),
            block.data.begin() + static_cast<std::ptrdiff_t>(to)};
}

}  // namespace

TEST_F(VirtualDevices, ALayoutNumbersNamesAndDescribesEveryDevice) {
    // Bad layouts are refused whole, and change nothing.
    for (const char* bad :
         {"virtual:outputs=", "virtual:outputs=0", "virtual:outputs=9", "virtual:outputs=2+", "virtual:inputs=x",
          "virtual:outputs=2@999", "virtual:outputs=2@48000@1", "virtual:inputs=+2", "virtual:outputs=-1"})
        EXPECT_EQ(SelectBackend(bad), MMSYSERR_INVALPARAM) << bad;
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    std::string many = "virtual:outputs=2";
    for (int i = 1; i < 33; ++i) many += "+2";
    EXPECT_EQ(SelectBackend(many.c_str()), MMSYSERR_INVALPARAM) << "33 devices";

    ASSERT_EQ(SelectBackend("virtual:clock=stepped,outputs=1+2+6,inputs=2@44100+1+6@96000"), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutGetNumDevs(), 3u);
    ASSERT_EQ(waveInGetNumDevs(), 3u);
    const WORD channels[] = {1, 2, 6};
    const WORD inChannels[] = {2, 1, 6};
    const DWORD inRates[] = {44100, 48000, 96000};
    std::vector<std::string> keys;
    for (UINT id = 0; id < 3; ++id) {
        SCOPED_TRACE(id);
        WAVEOUTCAPSA out{};
        ASSERT_EQ(waveOutGetDevCapsA(id, &out, sizeof out), MMSYSERR_NOERROR);
        EXPECT_EQ(out.szPname, "Sorn virtual output " + std::string(1, static_cast<char>('A' + id)));
        EXPECT_EQ(out.wChannels, channels[id] == 1 ? 1 : 2) << "1 for a mono device, else 2";
        DeviceDescription description = Describe(kOut, id);
        EXPECT_EQ(description.name, std::string(out.szPname));
        EXPECT_EQ(description.channels, channels[id]);
        EXPECT_EQ(description.rate, 48000u);
        EXPECT_EQ(description.isDefault, id == 0 ? TRUE : FALSE);
        keys.push_back(description.key);

        WAVEINCAPSA in{};
        ASSERT_EQ(waveInGetDevCapsA(id, &in, sizeof in), MMSYSERR_NOERROR);
        EXPECT_EQ(in.szPname, "Sorn virtual input " + std::string(1, static_cast<char>('A' + id)));
        EXPECT_EQ(in.wChannels, inChannels[id] == 1 ? 1 : 2);
        description = Describe(kIn, id);
        EXPECT_EQ(description.channels, inChannels[id]);
        EXPECT_EQ(description.rate, inRates[id]);
        EXPECT_EQ(description.isDefault, id == 0 ? TRUE : FALSE);
        keys.push_back(description.key);
        // Any format still opens (the device converts), mono on a 6-channel
        // device and 6 channels on a mono one alike.
        for (WORD streamChannels : {WORD{1}, WORD{6}}) {
            WAVEFORMATEX format = Pcm16(16000, streamChannels);
            EXPECT_EQ(waveOutOpen(nullptr, id, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
            EXPECT_EQ(waveInOpen(nullptr, id, &format, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_FALSE(keys[i].empty());
        for (std::size_t j = 0; j < i; ++j) EXPECT_NE(keys[i], keys[j]);
    }
    WAVEOUTCAPSA out{};
    EXPECT_EQ(waveOutGetDevCapsA(3, &out, sizeof out), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(Describe(kOut, WAVE_MAPPER).name, std::string("Sorn virtual output A"));

    // Devices made in code come after, with their own values; bad ones are
    // refused.
    EXPECT_EQ(VirtualDevice::AddDevice(kOut, "USB headset", 1, 16000), 3u);
    EXPECT_EQ(VirtualDevice::AddDevice(kIn, "USB headset microphone", 1, 16000), 3u);
    EXPECT_EQ(OutName(3), "USB headset");
    EXPECT_EQ(Describe(kOut, 3).rate, 16000u);
    EXPECT_EQ(Describe(kIn, 3).channels, 1);
    EXPECT_EQ(VirtualDevice::AddDevice(kOut, "", 2), VirtualDevice::kNoDevice);
    EXPECT_EQ(VirtualDevice::AddDevice(kOut, nullptr, 2), VirtualDevice::kNoDevice);
    EXPECT_EQ(VirtualDevice::AddDevice(kOut, "nine", 9), VirtualDevice::kNoDevice);
    EXPECT_EQ(VirtualDevice::AddDevice(kOut, "slow", 2, 999), VirtualDevice::kNoDevice);
    EXPECT_EQ(waveOutGetNumDevs(), 4u);

    // A removal renumbers the rest in their order; the default stays.
    EXPECT_FALSE(VirtualDevice::RemoveDevice(kOut, 4));
    EXPECT_FALSE(VirtualDevice::SetDefault(kOut, 4));
    ASSERT_TRUE(VirtualDevice::SetDefault(kOut, 2));
    ASSERT_TRUE(VirtualDevice::RemoveDevice(kOut, 1));
    ASSERT_EQ(waveOutGetNumDevs(), 3u);
    EXPECT_EQ(OutName(0), "Sorn virtual output A");
    EXPECT_EQ(OutName(1), "Sorn virtual output C");
    EXPECT_EQ(OutName(2), "USB headset");
    EXPECT_EQ(Describe(kOut, 1).isDefault, TRUE);
    EXPECT_EQ(OutName(WAVE_MAPPER), "Sorn virtual output C");

    // A reset is back to one stereo device each way.
    VirtualDevice::Reset(VirtualDevice::Clock::Stepped);
    EXPECT_EQ(waveOutGetNumDevs(), 1u);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    EXPECT_EQ(OutName(0), "Sorn virtual output");
    EXPECT_EQ(Describe(kOut, 0).channels, 2);
    EXPECT_EQ(Describe(kIn, 0).isDefault, TRUE);
}

// A range played on a chosen device is kept there and nowhere else; each
// input records its own source, or the output it loops back.
TEST_F(VirtualDevices, ARangeOnAChosenDeviceLandsOnlyThere) {
    ASSERT_EQ(SelectBackend("virtual:clock=stepped,outputs=1+2+6,inputs=2+2+2"), MMSYSERR_NOERROR);
    ASSERT_TRUE(VirtualDevice::SetInputSamples(0, {7, 7, 7, 7}, true));
    ASSERT_TRUE(VirtualDevice::SetInputLoopback(2, 1));
    EXPECT_FALSE(VirtualDevice::SetInputLoopback(3, 1));
    EXPECT_FALSE(VirtualDevice::SetInputLoopback(2, 3));

    Recorder recorder;
    HWAVEOUT out = OpenOutOn(1, &recorder);
    HWAVEIN on[3];
    Block heard[3] = {Block(100, 0), Block(100, 0), Block(100, 0)};
    for (UINT id = 0; id < 3; ++id) {
        on[id] = OpenInOn(id, &recorder);
        Queue(on[id], {&heard[id]});
        ASSERT_EQ(waveInStart(on[id]), MMSYSERR_NOERROR);
    }
    Block range(100, 1000);
    Queue(out, {&range});
    VirtualDevice::Advance(100);
    ASSERT_EQ(recorder.Count(WOM_DONE), 1u);
    ASSERT_EQ(recorder.Count(WIM_DATA), 3u);

    EXPECT_EQ(VirtualDevice::TakeOutput(1), range.data);
    EXPECT_TRUE(VirtualDevice::TakeOutput(0).empty());
    EXPECT_TRUE(VirtualDevice::TakeOutput(2).empty());
    EXPECT_TRUE(VirtualDevice::TakeOutput().empty()) << "the default output (0) played nothing";
    EXPECT_EQ(heard[0].data, std::vector<std::int16_t>(100, 7));
    EXPECT_EQ(heard[1].data, std::vector<std::int16_t>(100, 0));
    EXPECT_EQ(heard[2].data, range.data) << "input 2 loops back output 1";

    CloseOut(out, {&range});
    for (UINT id = 0; id < 3; ++id) CloseIn(on[id], {&heard[id]});
}

// WAVE_MAPPER opens the default; a mapper stream follows a switch of the
// default mid-range, a stream on a numbered device stays; waveOutGetID
// tells them apart.
TEST_F(VirtualDevices, TheMapperIsTheDefaultAndFollowsASwitch) {
    ASSERT_EQ(SelectBackend("virtual:clock=stepped,outputs=2+2+2,inputs=2+2"), MMSYSERR_NOERROR);
    ASSERT_TRUE(VirtualDevice::SetDefault(kOut, 2));
    EXPECT_EQ(OutName(WAVE_MAPPER), "Sorn virtual output C");
    EXPECT_EQ(Describe(kOut, 2).isDefault, TRUE);
    EXPECT_EQ(Describe(kOut, 0).isDefault, FALSE);

    Recorder recorder;
    HWAVEOUT mapper = OpenOutOn(WAVE_MAPPER, &recorder);
    HWAVEOUT pinned = OpenOutOn(2, &recorder);
    UINT id = 0;
    ASSERT_EQ(waveOutGetID(mapper, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, WAVE_MAPPER);
    ASSERT_EQ(waveOutGetID(pinned, &id), MMSYSERR_NOERROR);
    EXPECT_EQ(id, 2u);
    Block a(200, 1000), b(200, 5000);
    Queue(mapper, {&a});
    Queue(pinned, {&b});
    VirtualDevice::Advance(80);
    ASSERT_TRUE(VirtualDevice::SetDefault(kOut, 0));
    EXPECT_EQ(Describe(kOut, 0).isDefault, TRUE);
    EXPECT_EQ(Describe(kOut, 2).isDefault, FALSE);
    VirtualDevice::Advance(120);
    ASSERT_EQ(recorder.Count(WOM_DONE), 2u);

    // Device 2 has both streams' first 80 frames (in step order) and the
    // numbered stream's rest; device 0 the mapper's rest.
    std::vector<std::int16_t> expected2 = Part(a, 0, 80);
    for (std::int16_t sample : b.data) expected2.push_back(sample);
    EXPECT_EQ(VirtualDevice::TakeOutput(2), expected2);
    EXPECT_EQ(VirtualDevice::TakeOutput(0), Part(a, 80, 200));
    EXPECT_TRUE(VirtualDevice::TakeOutput(1).empty());
    CloseOut(mapper, {&a});
    CloseOut(pinned, {&b});

    // Input alike: the mapper records from whichever input is the default.
    ASSERT_TRUE(VirtualDevice::SetInputSamples(0, std::vector<std::int16_t>(100, 10), true));
    ASSERT_TRUE(VirtualDevice::SetInputSamples(1, std::vector<std::int16_t>(100, 11), true));
    HWAVEIN in = OpenInOn(WAVE_MAPPER, &recorder);
    HWAVEIN in0 = OpenInOn(0, &recorder);
    Block got(100), got0(100);
    Queue(in, {&got});
    Queue(in0, {&got0});
    ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInStart(in0), MMSYSERR_NOERROR);
    VirtualDevice::Advance(40);
    ASSERT_TRUE(VirtualDevice::SetDefault(kIn, 1));
    EXPECT_EQ(Describe(kIn, WAVE_MAPPER).name, std::string("Sorn virtual input B"));
    VirtualDevice::Advance(60);
    ASSERT_EQ(recorder.Count(WIM_DATA), 2u);
    std::vector<std::int16_t> expected(40, 10);
    expected.resize(100, 11);
    EXPECT_EQ(got.data, expected);
    EXPECT_EQ(got0.data, std::vector<std::int16_t>(100, 10));
    CloseIn(in, {&got});
    CloseIn(in0, {&got0});
}

// A device removed under a stream ends that stream as a device loss: its
// queued headers come back done before RemoveDevice returns, later calls
// fail with MMSYSERR_NODRIVER, and nothing else is disturbed. A mapper
// stream moves to the next default when its device goes, and is lost when
// none is left. Once in stepped time, once in real time (the clock's thread
// plays while the device goes).
TEST_F(VirtualDevices, RemovalMidRangeIsADeviceLoss) {
    ASSERT_EQ(SelectBackend("virtual:clock=stepped,outputs=2+2+2,inputs=1+1"), MMSYSERR_NOERROR);
    Recorder lostRecorder, keptRecorder, mapperRecorder;
    HWAVEOUT doomed = OpenOutOn(1, &lostRecorder);
    HWAVEOUT kept = OpenOutOn(2, &keptRecorder);
    HWAVEOUT mapper = OpenOutOn(WAVE_MAPPER, &mapperRecorder);
    HWAVEIN doomedIn = OpenInOn(1, &lostRecorder);
    Block a(100, 0), b(100, 100), c(300, 1000), d(300, 3000), e(100);
    Queue(doomed, {&a, &b});
    Queue(kept, {&c});
    Queue(mapper, {&d});
    Queue(doomedIn, {&e});
    ASSERT_EQ(waveInStart(doomedIn), MMSYSERR_NOERROR);
    VirtualDevice::Advance(50);
    EXPECT_EQ(lostRecorder.Count(WOM_DONE), 0u);

    ASSERT_TRUE(VirtualDevice::RemoveDevice(kOut, 1));
    ASSERT_TRUE(VirtualDevice::RemoveDevice(kIn, 1));
    EXPECT_EQ(lostRecorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&a.header, &b.header}));
    EXPECT_EQ(lostRecorder.Done(WIM_DATA), (std::vector<WAVEHDR*>{&e.header}));
    EXPECT_EQ(waveOutWrite(doomed, &a.header, sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutRestart(doomed), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveInStart(doomedIn), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutGetNumDevs(), 2u);
    EXPECT_EQ(waveInGetNumDevs(), 1u);
    EXPECT_EQ(OutName(1), "Sorn virtual output C");
    CloseOut(doomed, {&a, &b});
    CloseIn(doomedIn, {&e});
    EXPECT_EQ(VirtualDevice::TakeOutput(1), Part(c, 0, 50)) << "the old device 2, now 1, kept what it had";

    // The default (0) goes: the mapper stream moves to the new default.
    VirtualDevice::Advance(50);
    ASSERT_TRUE(VirtualDevice::RemoveDevice(kOut, 0));
    EXPECT_EQ(mapperRecorder.Count(WOM_DONE), 0u);
    EXPECT_EQ(Describe(kOut, 0).isDefault, TRUE);
    VirtualDevice::Advance(100);
    // The old device 2, now 0: the numbered stream's frames 50 to 200, then
    // the mapper's 100 to 200 (the mapper played its first 100 on the
    // device removed).
    std::vector<std::int16_t> expected = Part(c, 50, 200);
    std::vector<std::int16_t> moved = Part(d, 100, 200);
    expected.insert(expected.end(), moved.begin(), moved.end());
    EXPECT_EQ(VirtualDevice::TakeOutput(0), expected);

    // The last one goes: both streams are lost.
    ASSERT_TRUE(VirtualDevice::RemoveDevice(kOut, 0));
    EXPECT_EQ(keptRecorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&c.header}));
    EXPECT_EQ(mapperRecorder.Done(WOM_DONE), (std::vector<WAVEHDR*>{&d.header}));
    EXPECT_EQ(waveOutGetNumDevs(), 0u);
    HWAVEOUT none = nullptr;
    WAVEFORMATEX format = Pcm16();
    EXPECT_EQ(waveOutOpen(&none, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NODRIVER);
    EXPECT_EQ(waveOutOpen(&none, 0, &format, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
    CloseOut(kept, {&c});
    CloseOut(mapper, {&d});

    // Real time: the clock's thread plays while the device goes.
    ASSERT_EQ(SelectBackend("virtual:clock=realtime,period=1,outputs=2+2"), MMSYSERR_NOERROR);
    Recorder live;
    HWAVEOUT playing = OpenOutOn(1, &live);
    Block f(1600), g(160000);  // 0.1 s and 10 s
    Queue(playing, {&f, &g});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (live.Count(WOM_DONE) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(live.Count(WOM_DONE), 1u);
    ASSERT_TRUE(VirtualDevice::RemoveDevice(kOut, 1));
    EXPECT_EQ(live.Done(WOM_DONE), (std::vector<WAVEHDR*>{&f.header, &g.header}));
    EXPECT_EQ(waveOutWrite(playing, &f.header, sizeof(WAVEHDR)), MMSYSERR_NODRIVER);
    CloseOut(playing, {&f, &g});
}
