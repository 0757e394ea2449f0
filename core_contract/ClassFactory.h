#pragma once
// The class factory through which the core obtains platform objects.
#include "core_contract/Devices.h"
#include "core_contract/Engine.h"
#include "core_contract/IDelete.h"
#include "core_contract/SornString.h"
#include "core_contract/Wave.h"

class SORN_CORE_API ISornInterface : public IDelete {};

class SORN_CORE_API ISornClassFactory : public ISornInterface {
public:
    virtual IWaveDevice* CreateWaveDevice() = 0;
    virtual IWaveOut* CreateWaveOut() = 0;
    virtual IWaveIn* CreateWaveIn() = 0;
    virtual IWave* CreateWave() = 0;
    virtual SornEngine::ISornEngine* CreateEngine(const SornStringA& name) = 0;
};

class SORN_CORE_API ASornClassFactory : public ISornClassFactory {
public:
    IWave* CreateWave() override;  // a new CWave, owned by the caller
};
