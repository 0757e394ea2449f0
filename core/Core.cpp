// Out-of-line members that anchor the interfaces' type information in the core.
#include "core_contract/ClassFactory.h"
#include "core_contract/Codec.h"
#include "core_contract/IDelete.h"
#include "core_contract/SornAudioFormat.h"
#include "core_contract/Wave.h"

void IDelete::Delete() { delete this; }
IDelete::~IDelete() = default;

ICodec::~ICodec() = default;
IAudioFormatHelper::~IAudioFormatHelper() = default;

SornAudioFormat::SornAudioFormat() = default;
SornAudioFormat::SornAudioFormat(unsigned long sampleRate, unsigned short channels, unsigned short blockAlign)
    : sampleRate(sampleRate), channelNum(channels), blockAlign(blockAlign) {}
SornAudioFormat::~SornAudioFormat() = default;

IWave* ASornClassFactory::CreateWave() { return new CWave(); }
