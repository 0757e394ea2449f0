#include <signal.h>

#include <cstdio>
#include <string>

#include "tools/sorn/Commands.h"
#include "tools/sorn/DeviceChoice.h"
#include "tools/sorn/Host.h"
#include "tools/sorn/Recording.h"
#include "tools/sorn/Terminal.h"

namespace sorn::tool {

int Record(const RecordOptions& options) {
    const std::string command = "record";
    const BackendChoice choice = ChooseBackend(options.backend);
    int status = kOk;
    if (!CheckBackend(command, choice, status)) return status;
    if (!(options.maxSeconds > 0 && options.maxSeconds <= 86400))
        return UsageError(command, "--max-seconds must be above 0 and at most 86400");
    if (options.rate < 8000 || options.rate > 48000) return UsageError(command, "--rate must be 8000 to 48000 Hz");
    if (options.channels < 1 || options.channels > 2) return UsageError(command, "--channels must be 1 or 2");
    std::string why;
    if (!Writable(options.file, why)) return Fail(command, why);
    if (!SelectBackend(command, choice, status)) return status;
    RecordOptions chosen = options;
    if (!ChooseDevice(options.device, false, chosen.deviceId, why)) return UsageError(command, why);
    AnnounceBackend(choice);

    CatchInterrupt();
    signal(SIGXFSZ, SIG_IGN);  // a file-size limit is a failed write, not the end of the process
    Take take;
    if (!RecordTake(chosen, options.file, OnTerminal(), nullptr, nullptr, take, why)) return Fail(command, why);
    if (const std::string failure = TakeFailure(take, options.file); !failure.empty()) return Fail(command, failure);
    std::string notes;
    if (take.trimmedSeconds > 0.005)
        notes += "; the first " + Seconds(take.trimmedSeconds) + " did not change and were dropped";
    if (!take.heardSpeech) notes += "; no speech was heard in the take";
    std::printf("recorded %zu frames (%s) into %s: %s%s\n", take.frames,
                Seconds(double(take.frames) / take.rate).c_str(), options.file.c_str(), take.ending.c_str(),
                notes.c_str());
    return kOk;
}

}  // namespace sorn::tool
