#include <cstdio>
#include <string>

#include "tools/cli/TextBuffer.h"
#include "tools/cli/WavFile.h"
#include "tools/sorn/Commands.h"
#include "tools/sorn/Host.h"

namespace cli = sorn::cli;

namespace sorn::tool {

int Info(const std::string& file, bool json) {
    const std::string command = "info";
    cli::WavDescription description;
    std::string why;
    if (!cli::DescribeWav(file, description, why)) return Fail(command, why);
    if (!cli::WriteAll(stdout, json ? cli::InfoJson(file, description) : cli::InfoText(file, description), why))
        return Fail(command, "cannot write: " + why);
    // A file play and pitch would refuse is still described: a note on
    // stderr says why they refuse it, and the status is 0.
    cli::Pcm16Clip clip;
    if (!cli::ReadPcm16(file, clip, why)) std::fprintf(stderr, "sorn: info: note: %s\n", why.c_str());
    return kOk;
}

}  // namespace sorn::tool
