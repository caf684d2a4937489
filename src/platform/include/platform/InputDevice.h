#pragma once

#include "platform/HardwareProperties.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quelt {

// A device that can record, as the device list describes it and an audio input is pointed at it.
struct InputDeviceInfo {
  AudioObjectId id = 0; // not sent: only meaningful inside this process
  std::string uid;
  std::string name;
  std::optional<std::string> manufacturer;
  int64_t inputChannels = 0;
  double sampleRate = 0;
  bool isDefault = false;
  std::optional<std::string> transport;
};

} // namespace quelt
