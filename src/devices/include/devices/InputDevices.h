#pragma once

#include "platform/HardwareProperties.h"
#include "platform/InputDevice.h"
#include "protocol/Json.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

class OpHost;

// The device as the protocol describes it.
Json deviceJSON(const InputDeviceInfo& device);

std::optional<AudioObjectId> defaultInputDeviceID(HardwareProperties& hardware);
// Every device that can record, the default first, then by name under the root collation with
// letter case ignored, ties in hardware order. Empty when the device list cannot be read.
// No locale's own order is used: some (en_US_POSIX) do not ignore case.
std::vector<InputDeviceInfo> listInputDevices(HardwareProperties& hardware);
// Exact, case-sensitive uid match.
std::optional<InputDeviceInfo> findInputDevice(const std::vector<InputDeviceInfo>& devices,
                                               const std::string& uid);
// A four-character code as text: its bytes as Mac OS Roman, horizontal space trimmed.
std::string fourCC(uint32_t code);

// "devices.list"
void registerDeviceOps(OpHost& host, std::shared_ptr<HardwareProperties> hardware);

} // namespace quelt
