// libFuzzer target: the pitch tracker against its plain transcription
// (tests/pitch/PitchReference.h, through fuzz/pitch/Reference.h), bit for
// bit, on any samples, length, rate and level. The first byte picks what
// is checked:
//  - 0 (and any other value): ExtractPitch, and ExtractPitchWith on every
//    instruction set the processor has, with and without the transform;
//  - 1: the peak picker on 512 values taken from the input, on every
//    instruction set the processor has;
//  - 2: AutoCorr and DivC with lengths and divisor from the input.
// Input layout after that byte (missing bytes read as 0): the sample rate
// (int16), the level (float bits), the pitch slots (0 to 15), the sample
// count beyond the input's own samples (0 to 4095), a sample kind, then the
// samples, repeated over the count. Kinds: 0 raw float bits, 1 int16
// values, 2 int16 values times 2^-15 (the transform path takes the last two).
#include <sanitizer/common_interface_defs.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/pitch/Reference.h"
#include "pitch/ExtractPitch.h"
#include "pitch/PitchPrimitives.h"

namespace {

int realStderr = -1;
int devNull = -1;

[[noreturn]] void Fail(const char* what) {
    if (realStderr >= 0) ::dup2(realStderr, STDERR_FILENO);
    std::fprintf(stderr, "fuzz_pitch: %s\n", what);
    std::abort();
}

// Both trackers report failed primitives on stderr once per window; those
// reports are sent to /dev/null while they run (sanitizer reports go to the
// real stderr all the same).
class QuietStderr {
public:
    QuietStderr() { ::dup2(devNull, STDERR_FILENO); }
    ~QuietStderr() { ::dup2(realStderr, STDERR_FILENO); }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;
};

class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    std::uint32_t Take(int bytes) {
        std::uint32_t value = 0;
        for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        return value;
    }
    float Float() {
        const std::uint32_t bits = Take(4);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    const unsigned char* Rest() const { return data_ + used_; }
    std::size_t Left() const { return size_ - used_; }

private:
    unsigned char Byte() { return used_ < size_ ? data_[used_++] : 0; }
    const unsigned char* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// The rest of the input as samples of the kind, repeated to count (zeros
// when there are none).
std::vector<float> Samples(Reader& in, int kind, std::size_t extra) {
    const int width = kind == 0 ? 4 : 2;
    std::vector<float> own;
    for (std::size_t i = 0; i + width <= in.Left(); i += width) {
        const unsigned char* p = in.Rest() + i;
        if (kind == 0) {
            float value;
            std::memcpy(&value, p, sizeof value);
            own.push_back(value);
        } else {
            const auto value = static_cast<std::int16_t>(p[0] | (p[1] << 8));
            own.push_back(kind == 1 ? static_cast<float>(value) : static_cast<float>(value) * 0x1p-15f);
        }
    }
    std::vector<float> samples(own.size() + extra, 0.0f);
    if (!own.empty())
        for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = own[i % own.size()];
    return samples;
}

bool SameFloat(float a, float b) {
    std::uint32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y || (a != a && b != b);
}

void CheckTracker(Reader& in) {
    const auto rate = static_cast<std::int16_t>(in.Take(2));
    const float level = in.Float();
    const auto slots = static_cast<std::int32_t>(in.Take(1) % 16);
    const std::size_t extra = in.Take(2) % 4096;
    const int kind = static_cast<int>(in.Take(1) % 3);
    const std::vector<float> samples = Samples(in, kind, extra);
    const auto count = static_cast<std::int32_t>(samples.size());
    // Exactly count samples on the heap, so a read past them is reported.
    std::unique_ptr<float[]> exact(new float[samples.empty() ? 1 : samples.size()]);
    std::copy(samples.begin(), samples.end(), exact.get());

    // Slots the windows do not reach take the first of them as it was.
    std::int16_t before[16];
    for (int i = 0; i < 16; ++i) before[i] = static_cast<std::int16_t>(-1000 - i);
    std::int16_t expected[16];
    std::memcpy(expected, before, sizeof before);
    {
        QuietStderr quiet;
        if (rate > 0) {
            pitchfuzz::ReferenceExtractPitch(exact.get(), count, rate, level, expected, slots);
        } else {
            for (std::int32_t i = 0; i < slots; ++i) expected[i] = before[0];  // no window at all
        }
    }
    auto check = [&](SornPitch::Isa isa, bool fft, bool exported) {
        std::int16_t got[16];
        std::memcpy(got, before, sizeof before);
        {
            QuietStderr quiet;
            if (exported) {
                ExtractPitch(exact.get(), count, rate, level, got, slots);
            } else {
                SornPitch::ExtractPitchWith(isa, fft, exact.get(), count, rate, level, got, slots);
            }
        }
        if (std::memcmp(got, expected, sizeof got) != 0) Fail("ExtractPitch differs from the transcription");
    };
    check(SornPitch::BestIsa(), true, true);
    for (SornPitch::Isa isa : SornPitch::kEveryIsa) {
        if (!SornPitch::IsaAvailable(isa)) continue;
        check(isa, false, false);
        check(isa, true, false);
    }
}

void CheckPeakPicker(Reader& in) {
    const auto rate = static_cast<std::int32_t>(static_cast<std::int16_t>(in.Take(2)));
    float values[512];
    const std::vector<float> samples = Samples(in, 0, 0);
    for (int i = 0; i < 512; ++i) values[i] = samples.empty() ? 0.0f : samples[i % samples.size()];
    const std::int32_t expected = pitchfuzz::ReferencePitchFromAutocorrelation(values, rate);
    if (SornPitch::PitchFromAutocorrelation(values, rate) != expected)
        Fail("the peak picker differs from the transcription");
    for (SornPitch::Isa isa : SornPitch::kEveryIsa)
        if (SornPitch::IsaAvailable(isa) &&
            SornPitch::PitchFromAutocorrelationWith(SornPitch::KernelsFor(isa), values, rate) != expected)
            Fail("the peak picker on one instruction set differs from the transcription");
}

void CheckPrimitives(Reader& in) {
    const auto sourceLength = static_cast<std::int32_t>(static_cast<std::int16_t>(in.Take(2))) % 1100;
    const auto destinationLength = static_cast<std::int32_t>(static_cast<std::int16_t>(in.Take(2))) % 1100;
    const float divisor = in.Float();
    const std::vector<float> samples = Samples(in, 0, 0);
    std::vector<float> source(sourceLength > 0 ? sourceLength : 1, 0.0f);
    for (std::size_t i = 0; i < source.size() && !samples.empty(); ++i) source[i] = samples[i % samples.size()];
    const std::size_t slots = destinationLength > 0 ? static_cast<std::size_t>(destinationLength) : 1;
    std::vector<float> got(slots, 7.0f), expected(slots, 7.0f);
    if (SornPitch::AutoCorr(source.data(), sourceLength, got.data(), destinationLength) !=
        pitchfuzz::ReferenceAutoCorr(source.data(), sourceLength, expected.data(), destinationLength))
        Fail("AutoCorr's status differs from the transcription");
    if (SornPitch::DivC(divisor, got.data(), destinationLength) !=
        pitchfuzz::ReferenceDivC(divisor, expected.data(), destinationLength))
        Fail("DivC's status differs from the transcription");
    for (std::size_t i = 0; i < slots; ++i)
        if (!SameFloat(got[i], expected[i])) Fail("AutoCorr or DivC values differ from the transcription");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    realStderr = ::dup(STDERR_FILENO);
    devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (realStderr < 0 || devNull < 0) Fail("cannot set up stderr");
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(realStderr)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    Reader in(data, size);
    switch (in.Take(1)) {
        case 1: CheckPeakPicker(in); break;
        case 2: CheckPrimitives(in); break;
        default: CheckTracker(in); break;
    }
    return 0;
}
