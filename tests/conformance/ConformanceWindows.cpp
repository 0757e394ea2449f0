// The conformance cases on Windows: the system's winmm (Wine's under Wine).
#include "conformance/ConformanceSupport.h"

#include "audio_device/SoundServerDevices.h"

namespace sorn::conformance {

std::string ServerMissing() {
    if (!devicetest::ServerAnswers()) return "no wave devices";
    return {};
}

bool OnWine() {
    static const bool wine = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

}  // namespace sorn::conformance
