// Placeholder for the virtual device.
#include "platform/audio/VirtualDevice.h"

namespace sorn::audio {

void VirtualDevice::Reset(Clock) {}
void VirtualDevice::SetInputSilence() {}
void VirtualDevice::SetInputSamples(std::vector<std::int16_t>, bool) {}
void VirtualDevice::SetInputGenerator(std::function<void(std::int16_t*, std::size_t, std::uint64_t)>) {}
bool VirtualDevice::SetInputFile(const char*) { return false; }
void VirtualDevice::SetInputLoopback() {}
void VirtualDevice::SetOutputMemory() {}
std::vector<std::int16_t> VirtualDevice::TakeOutput() { return {}; }
bool VirtualDevice::SetOutputFile(const char*) { return false; }
void VirtualDevice::Advance(std::uint32_t) {}
bool VirtualDevice::WaitIdle(std::uint32_t) { return true; }
void VirtualDevice::FailNext(const char*, MMRESULT, int) {}
void VirtualDevice::Disconnect() {}

}  // namespace sorn::audio
