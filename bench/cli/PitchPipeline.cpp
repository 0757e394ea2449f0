// pitch_pipeline FILE.wav [text|csv|json [PLOT.svg]]: what `sorn pitch` does
// end to end, in one process, with the sorn_cli units alone (read through the
// module's WAV codec, track, format, one write; the plot when asked). The
// comparison script measures its CPU time next to other pitch trackers.
#include <cstdio>
#include <filesystem>
#include <string>

#include "codec/WavCodec.h"
#include "core_contract/SornDataSys.h"
#include "tools/cli/PitchContour.h"
#include "tools/cli/PitchPlot.h"
#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"

int main(int argc, char** argv) {
    using namespace sorn::cli;
    ContourFormat format = ContourFormat::Text;
    if (argc < 2 || argc > 4 || (argc >= 3 && !ParseContourFormat(argv[2], format))) {
        std::fputs("usage: pitch_pipeline FILE.wav [text|csv|json [PLOT.svg]]\n", stderr);
        return 2;
    }
    // The module registers its codec when a host loads it; this driver links
    // the module's parts and registers it itself.
    if (!RegisteredWavCodec()) SornDataSys::CodecHandler()->RegisterCodec("wav", new SornMedia::SornAudio::WavCodec());

    std::string why, note;
    Pcm16Reader reader;
    PitchContour contour;
    if (!reader.Open(argv[1], why) || !TrackPitch(reader, PitchOptions{}, contour, why, &note)) {
        std::fprintf(stderr, "pitch_pipeline: %s\n", why.c_str());
        return 1;
    }
    if (!note.empty()) std::fprintf(stderr, "pitch_pipeline: %s\n", note.c_str());
    if (!WriteAll(stdout, FormatContour(contour, format), why)) {
        std::fprintf(stderr, "pitch_pipeline: cannot write the contour: %s\n", why.c_str());
        return 1;
    }
    if (argc == 4) {
        const std::string title = "pitch of " + std::filesystem::path(argv[1]).filename().string();
        if (!WriteTextFile(argv[3], PitchPlotSvg(contour, title), why)) {
            std::fprintf(stderr, "pitch_pipeline: %s\n", why.c_str());
            return 1;
        }
    }
    return 0;
}
