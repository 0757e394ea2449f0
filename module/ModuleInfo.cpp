#include "module/ModuleInfo.h"

const char* SornModuleVersion() { return "2.0.455.1"; }
