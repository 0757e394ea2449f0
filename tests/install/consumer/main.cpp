// Uses an installed Sorn: includes every public header (as <sorn/...>), asks the core for its
// version and the module for the version it was built for, and prints both.
#include <cstdio>
#include <cstring>

#include <sorn/audio/CWaveDevice.h>
#include <sorn/audio/CaptureAccess.h>
#include <sorn/audio/CWaveIn.h>
#include <sorn/audio/CWaveOut.h>
#include <sorn/codec/AudioFormatHelperWav.h>
#include <sorn/codec/WavCodec.h>
#include <sorn/core_contract/ClassFactory.h>
#include <sorn/core_contract/Codec.h>
#include <sorn/core_contract/Devices.h>
#include <sorn/core_contract/Engine.h>
#include <sorn/core_contract/Handlers.h>
#include <sorn/core_contract/IDelete.h>
#include <sorn/core_contract/SornAudioFormat.h>
#include <sorn/core_contract/SornDataSys.h>
#include <sorn/core_contract/SornString.h>
#include <sorn/core_contract/SornVad.h>
#include <sorn/core_contract/SornVersion.h>
#include <sorn/core_contract/Wave.h>
#include <sorn/mixer/MixerManager.h>
#include <sorn/module/ClassFactoryWin.h>
#include <sorn/module/ModuleEntry.h>
#include <sorn/module/ModuleInfo.h>
#include <sorn/pitch/ExtractPitch.h>
#include <sorn/platform/Files.h>
#include <sorn/platform/MMSystem.h>
#include <sorn/platform/Mixer.h>
#include <sorn/platform/Modules.h>
#include <sorn/platform/Threads.h>
#include <sorn/platform/UserInterface.h>
#include <sorn/platform/WinTypes.h>
#include <sorn/services/ErrorHandlerWin.h>
#include <sorn/services/FileHandlerWin.h>
#include <sorn/services/ResPluginHandlerWin.h>

int main() {
    const char* core = Versioning::GetVersion();
    const char* module = SornModuleVersion();
    std::printf("core %s, module built for %s\n", core, module);
    // The capture's extras are exported beside IWaveIn; they answer nothing
    // for an object that is not a capture.
    SornCaptureStatus status{};
    if (SornCaptureGetStatus(nullptr, &status) != 0 || SornCaptureRead(nullptr, 0, &status, 1, 1) != 0) return 1;
    return core && module && std::strcmp(core, module) == 0 && std::strcmp(core, sorn::kVersion) == 0 ? 0 : 1;
}
