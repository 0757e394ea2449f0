// Uses an installed Sorn: includes every public header, asks the core for its
// version and the module for the version it was built for, and prints both.
#include <cstdio>
#include <cstring>

#include "audio/CWaveDevice.h"
#include "audio/CWaveIn.h"
#include "audio/CWaveOut.h"
#include "codec/AudioFormatHelperWav.h"
#include "codec/WavCodec.h"
#include "core_contract/ClassFactory.h"
#include "core_contract/Codec.h"
#include "core_contract/Devices.h"
#include "core_contract/Engine.h"
#include "core_contract/Handlers.h"
#include "core_contract/IDelete.h"
#include "core_contract/SornAudioFormat.h"
#include "core_contract/SornDataSys.h"
#include "core_contract/SornString.h"
#include "core_contract/SornVad.h"
#include "core_contract/SornVersion.h"
#include "core_contract/Wave.h"
#include "mixer/MixerManager.h"
#include "module/ClassFactoryWin.h"
#include "module/ModuleEntry.h"
#include "module/ModuleInfo.h"
#include "pitch/ExtractPitch.h"
#include "platform/Files.h"
#include "platform/MMSystem.h"
#include "platform/Mixer.h"
#include "platform/Modules.h"
#include "platform/Threads.h"
#include "platform/UserInterface.h"
#include "platform/WinTypes.h"
#include "services/ErrorHandlerWin.h"
#include "services/FileHandlerWin.h"
#include "services/ResPluginHandlerWin.h"

int main() {
    const char* core = Versioning::GetVersion();
    const char* module = SornModuleVersion();
    std::printf("core %s, module built for %s\n", core, module);
    return core && module && std::strcmp(core, module) == 0 && std::strcmp(core, sorn::kVersion) == 0 ? 0 : 1;
}
