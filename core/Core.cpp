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
SornAudioFormat::SornAudioFormat(unsigned long rate, unsigned short channels, unsigned short align)
    : sampleRate(rate), channelNum(channels), blockAlign(align) {}
SornAudioFormat::~SornAudioFormat() = default;

IWave* ASornClassFactory::CreateWave() { return new CWave(); }
