#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_contract/ClassFactory.h"
#include "core_contract/SornDataSys.h"

namespace {

class CountingCodec : public ICodec {
public:
    explicit CountingCodec(int* destroyed) : destroyed_(destroyed) {}
    ~CountingCodec() override { ++*destroyed_; }
    int EncodeFile(const SornStringA&, const void*, std::uint32_t, const SornAudioFormat*) override { return 0; }
    int EncodeBuffer(const void*, std::uint32_t, void*, std::uint32_t*, const SornAudioFormat*) override {
        return 0;
    }
    int DecodeFile(const SornStringA&, void*, std::uint32_t*, SornAudioFormat*) override { return 0; }
    int DecodeBuffer(const void*, std::uint32_t, void*, std::uint32_t*, SornAudioFormat*) override { return 0; }

private:
    int* destroyed_;
};

class NullFactory : public ASornClassFactory {
public:
    IWaveDevice* CreateWaveDevice() override { return nullptr; }
    IWaveOut* CreateWaveOut() override { return nullptr; }
    IWaveIn* CreateWaveIn() override { return nullptr; }
    SornEngine::ISornEngine* CreateEngine(const SornStringA&) override { return nullptr; }
};

}  // namespace

TEST(CodecRegistry, OwnsCodecsAndDestroysThemOnRemovalOrReplacement) {
    int destroyed = 0;
    ICodecHandler* codecs = SornDataSys::CodecHandler();
    ASSERT_NE(codecs, nullptr);
    EXPECT_EQ(codecs, SornDataSys::CodecHandler());

    auto* first = new CountingCodec(&destroyed);
    EXPECT_EQ(codecs->RegisterCodec("test", first), 1);
    EXPECT_EQ(codecs->GetCodec("test"), first);
    EXPECT_EQ(codecs->RegisterCodec("test", first), 1);  // same codec again: kept
    EXPECT_EQ(destroyed, 0);

    auto* second = new CountingCodec(&destroyed);
    EXPECT_EQ(codecs->RegisterCodec("test", second), 1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(codecs->GetCodec("test"), second);

    EXPECT_EQ(codecs->UnregisterCodec("test"), 1);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(codecs->GetCodec("test"), nullptr);
    EXPECT_EQ(codecs->UnregisterCodec("test"), 0);
    EXPECT_EQ(codecs->RegisterCodec("test", nullptr), 0);
}

TEST(ServiceRegistry, InstallsAndRemovesServicesAndReportsEachInstallation) {
    std::vector<SornDataSys::Event> events;
    SornDataSys::SetObserver([&](const SornDataSys::Report& r) { events.push_back(r.event); });

    NullFactory factory;
    SornDataSys::ClassFactory(&factory);
    EXPECT_EQ(SornDataSys::ClassFactory(), &factory);
    SornDataSys::ClassFactory(nullptr);
    EXPECT_EQ(SornDataSys::ClassFactory(), nullptr);
    SornDataSys::SetObserver(nullptr);

    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], SornDataSys::Event::ClassFactory);

    IWave* wave = factory.CreateWave();
    ASSERT_NE(wave, nullptr);
    wave->Delete();
}

TEST(ServiceRegistry, ReportsReachTheObserverWithTheirTexts) {
    std::vector<std::string> seen;
    SornDataSys::SetObserver([&](const SornDataSys::Report& r) {
        seen.push_back(std::string(r.event == SornDataSys::Event::Error ? "E:" : "W:") + (r.text ? r.text : "-"));
    });
    char text[] = "Dll version conflict!";
    char path[] = "/tmp/x.wav";
    SornDataSys::Error(text, nullptr, nullptr, nullptr, 0);
    SornDataSys::Warning(path, nullptr);
    SornDataSys::SetObserver(nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"E:Dll version conflict!", "W:/tmp/x.wav"}));
}

TEST(Versioning, ReportsTheCoreVersion) { EXPECT_STREQ(Versioning::GetVersion(), "2.0.455.1"); }
