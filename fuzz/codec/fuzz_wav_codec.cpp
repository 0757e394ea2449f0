// libFuzzer target: every input is a WAV file for DecodeFile (written to one
// temporary file per process, kept open for writing) and a sample buffer for
// DecodeBuffer.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/ScratchFile.h"
#include "fuzz/codec/WavDecodeCheck.h"

namespace {

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_wav_codec: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!sornfuzz::ScratchFile::Create("fuzz_wav_codec")) Fail("cannot create a temporary file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    static sornfuzz::WavDecodeCheck check;
    if (!sornfuzz::ScratchFile::Write(data, size)) Fail("cannot write the temporary file");
    std::string broken = check.File(sornfuzz::ScratchFile::Name().c_str(), data, size);
    if (broken.empty()) broken = check.Buffer(data, size);
    if (!broken.empty()) Fail(broken);
    return 0;
}
