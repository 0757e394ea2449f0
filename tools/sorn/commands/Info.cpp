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
    // One opening, as play and pitch open the file (its samples are not
    // read): it describes the file, and says why they would refuse one that
    // is still described (a note on stderr; the status is 0).
    cli::WavDescription description;
    cli::Pcm16Reader reader;
    std::string refusal;
    const bool readable = reader.Open(file, refusal, &description);
    if (!description.described) return Fail(command, refusal);
    std::string why;
    if (!cli::WriteAll(stdout, json ? cli::InfoJson(file, description) : cli::InfoText(file, description), why))
        return Fail(command, "cannot write: " + why);
    if (!readable) std::fprintf(stderr, "sorn: info: note: %s\n", refusal.c_str());
    return kOk;
}

}  // namespace sorn::tool
