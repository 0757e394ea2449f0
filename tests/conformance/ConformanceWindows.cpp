// The conformance cases on Windows: the system's winmm (Wine's under Wine).
#include "conformance/ConformanceSupport.h"

namespace sorn::conformance {

std::string ServerMissing() {
    if (waveOutGetNumDevs() == 0 || waveInGetNumDevs() == 0) return "no wave devices";
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
