#include "module/ModuleInfo.h"

const char* SornModuleVersion() { return sorn::module::kCoreVersion; }
