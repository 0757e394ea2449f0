#pragma once
#include "core_contract/SornVersion.h"
#include "sorn_win_export.h"

namespace sorn::module {

// The core version this module is built for. Start-up accepts exactly this
// text (whole, case-sensitive) from Versioning::GetVersion().
inline constexpr const char* kCoreVersion = sorn::kVersion;

}  // namespace sorn::module

// The core version this module is built for (kCoreVersion).
extern "C" SORN_WIN_API const char* SornModuleVersion();
