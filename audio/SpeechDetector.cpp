#include "audio/SpeechDetector.h"

namespace SornMedia::SornAudio {
namespace {

class CoreSpeechDetector final : public SpeechDetector {
public:
    void Restart(unsigned sampleRate) override { vad_ = SornVad(sampleRate); }
    SornVADFlag Detect(const short* samples, unsigned count) override {
        // SornVad reads the block and never writes it.
        return vad_.Detect(const_cast<short*>(samples), count);
    }

private:
    SornVad vad_;
};

}  // namespace

std::shared_ptr<SpeechDetector> MakeCoreSpeechDetector() { return std::make_shared<CoreSpeechDetector>(); }

}  // namespace SornMedia::SornAudio
