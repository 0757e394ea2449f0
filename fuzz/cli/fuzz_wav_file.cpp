// libFuzzer target: every input is a file for the sorn host's WAV units
// (written to one temporary file per process). The description must be
// consistent with the bytes, a refusal must be one line naming the file, a
// decoded clip must match its description, and its pitch contour (for small
// clips) must have the slot count and every output form must be produced.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/WavCodec.h"
#include "core_contract/SornDataSys.h"
#include "fuzz/ScratchFile.h"
#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/WavFile.h"

namespace {

using namespace sorn::cli;

const std::string& TempPath() { return sornfuzz::ScratchFile::Name(); }

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_wav_file: %s\n", what.c_str());
    std::abort();
}

void CheckLine(const std::string& why) {
    if (why.empty() || why.find('\n') != std::string::npos || why.rfind(TempPath(), 0) != 0)
        Fail("a failure must be one line that starts with the path: " + why);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!sornfuzz::ScratchFile::Create("fuzz_wav_file")) Fail("cannot create a temporary file");
    SornDataSys::CodecHandler()->RegisterCodec("wav", new SornMedia::SornAudio::WavCodec());
    SornDataSys::SetObserver([](const SornDataSys::Report&) {});  // the codec's warnings: not needed here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (!sornfuzz::ScratchFile::Write(data, size)) Fail("cannot write the file");

    WavDescription d;
    std::string why;
    const bool described = DescribeWav(TempPath(), d, why);
    if (!described) CheckLine(why);
    if (described) {
        if (!d.described || d.channels == 0 || d.sampleRate == 0 || d.blockAlign == 0)
            Fail("a description without channels, rate or block align");
        if (d.dataBytes > size || (d.IsPcm16() && d.frames != d.dataBytes / d.blockAlign))
            Fail("frames do not fit the bytes");
        if (!d.IsPcm16()) CheckLine(RefusalOf(TempPath(), d));
        if (InfoText(TempPath(), d).empty() || InfoJson(TempPath(), d).back() != '\n') Fail("no info");
    }

    Pcm16Clip clip;
    why.clear();
    if (!ReadPcm16(TempPath(), clip, why)) {
        CheckLine(why);
        return 0;
    }
    if (!described || !d.IsPcm16()) Fail("a clip read from a file that is not 16-bit PCM");
    if (clip.channels != d.channels || clip.sampleRate != d.sampleRate || clip.Frames() != d.frames ||
        clip.samples.size() != d.frames * d.channels)
        Fail("the clip does not match its description");

    if (clip.Frames() > 100000 || clip.sampleRate > 200000) return 0;  // keep each input quick
    PitchContour contour;
    std::string note;
    if (!TrackPitch(clip, PitchOptions{}, contour, why, &note)) {
        if (clip.sampleRate >= kMinTrackerRate) Fail("tracking failed: " + why);
        return 0;
    }
    if (!contour.resampled && contour.pitch.size() != PitchSlotCount(clip.Frames(), clip.sampleRate))
        Fail("the contour's slot count is wrong");
    if (contour.resampled != (clip.sampleRate > kResampleRate) || contour.resampled == note.empty())
        Fail("resampling and its note disagree");
    for (const ContourFormat format : {ContourFormat::Text, ContourFormat::Csv, ContourFormat::Json})
        if (FormatContour(contour, format).size() < contour.pitch.size()) Fail("an output form lost values");
    if (PitchPlotSvg(contour, "fuzz").find("</svg>") == std::string::npos) Fail("the plot is cut short");
    return 0;
}
