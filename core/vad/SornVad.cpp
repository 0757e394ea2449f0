// Placeholder detector: replaced by the adaptive end-of-speech detector.
#include "core_contract/SornVad.h"

#include <atomic>

namespace {
std::atomic<SornVad::Hook> hook{nullptr};
std::atomic<void*> hookContext{nullptr};
}  // namespace

SornVad::SornVad(unsigned sampleRate) : sampleRate_(sampleRate), frameLength_(sampleRate / 100) {}
SornVad::~SornVad() = default;
void SornVad::Reset() { state_ = SORN_VAD_NO_SPEECH; }
SornVADFlag SornVad::Detect(short* samples, unsigned int count) {
    if (auto h = hook.load()) return h(hookContext.load(), samples, count);
    return state_;
}
void SornVad::SetHook(Hook h, void* context) {
    hookContext.store(context);
    hook.store(h);
}
