#pragma once

#include "platform/HardwareProperties.h"

#include <optional>
#include <string>
#include <vector>

namespace quelt::fakes {

// Audio hardware with given devices. Optional fields left empty are properties the device
// lacks; `readFails` makes every read of that device's properties fail.
class FakeHardware : public HardwareProperties {
public:
  struct Device {
    AudioObjectId id = 0;
    std::vector<uint32_t> inputBuffers; // channels per input buffer; empty: output only
    std::optional<std::optional<std::string>> uid;
    std::optional<std::optional<std::string>> name;
    std::optional<std::string> manufacturer;
    std::optional<double> sampleRate;
    std::optional<uint32_t> transport;
    bool readFails = false;
  };

  std::vector<Device> devices;
  std::optional<AudioObjectId> defaultDevice;
  bool listFails = false;

  bool has(AudioObjectId object, PropertyAddress address) override;
  std::optional<uint32_t> size(AudioObjectId object, PropertyAddress address) override;
  std::optional<std::vector<AudioObjectId>> readObjectIds(AudioObjectId object,
                                                          PropertyAddress address) override;
  std::optional<std::vector<uint32_t>> readBufferChannels(AudioObjectId object,
                                                          PropertyAddress address) override;
  std::optional<std::optional<std::string>> readString(AudioObjectId object,
                                                       PropertyAddress address) override;
  std::optional<double> readFloat64(AudioObjectId object, PropertyAddress address) override;
  std::optional<uint32_t> readUInt32(AudioObjectId object, PropertyAddress address) override;

private:
  const Device* find(AudioObjectId id) const;
  // The device, unless it is missing or its reads fail.
  const Device* readable(AudioObjectId id) const;
};

} // namespace quelt::fakes
