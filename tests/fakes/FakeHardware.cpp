#include "fakes/FakeHardware.h"

#include <algorithm>

namespace quelt::fakes {

const FakeHardware::Device* FakeHardware::find(AudioObjectId id) const {
  auto found = std::find_if(devices.begin(), devices.end(),
                            [id](const Device& device) { return device.id == id; });
  return found == devices.end() ? nullptr : &*found;
}

const FakeHardware::Device* FakeHardware::readable(AudioObjectId id) const {
  const Device* device = find(id);
  return device && !device->readFails ? device : nullptr;
}

bool FakeHardware::has(AudioObjectId object, PropertyAddress address) {
  if (object == property::systemObject)
    return address.selector == property::devices ||
           (address.selector == property::defaultInputDevice && defaultDevice);
  const Device* device = find(object);
  if (!device)
    return false;
  switch (address.selector) {
  case property::streamConfiguration:
    return true;
  case property::deviceUid:
    return device->uid.has_value();
  case property::name:
    return device->name.has_value();
  case property::manufacturer:
    return device->manufacturer.has_value();
  case property::nominalSampleRate:
    return device->sampleRate.has_value();
  case property::transportType:
    return device->transport.has_value();
  default:
    return false;
  }
}

std::optional<uint32_t> FakeHardware::size(AudioObjectId object, PropertyAddress address) {
  if (object == property::systemObject && address.selector == property::devices)
    return listFails ? std::nullopt : std::optional<uint32_t>(4 * devices.size());
  const Device* device = readable(object);
  if (!device)
    return std::nullopt;
  if (address.selector == property::streamConfiguration)
    return device->inputBuffers.empty() ? 0 : 4 + 16 * device->inputBuffers.size();
  return std::nullopt;
}

std::optional<std::vector<AudioObjectId>> FakeHardware::readObjectIds(AudioObjectId object,
                                                                      PropertyAddress address) {
  if (object != property::systemObject)
    return std::nullopt;
  if (address.selector == property::defaultInputDevice)
    return defaultDevice ? std::optional(std::vector{*defaultDevice}) : std::nullopt;
  std::vector<AudioObjectId> ids;
  for (const auto& device : devices)
    ids.push_back(device.id);
  return ids;
}

std::optional<std::vector<uint32_t>> FakeHardware::readBufferChannels(AudioObjectId object,
                                                                      PropertyAddress) {
  const Device* device = readable(object);
  return device ? std::optional(device->inputBuffers) : std::nullopt;
}

std::optional<std::optional<std::string>> FakeHardware::readString(AudioObjectId object,
                                                                   PropertyAddress address) {
  const Device* device = readable(object);
  if (!device)
    return std::nullopt;
  if (address.selector == property::deviceUid)
    return device->uid;
  if (address.selector == property::name)
    return device->name;
  if (address.selector == property::manufacturer && device->manufacturer)
    return std::optional<std::string>(*device->manufacturer);
  return std::nullopt;
}

std::optional<double> FakeHardware::readFloat64(AudioObjectId object, PropertyAddress) {
  const Device* device = readable(object);
  return device ? device->sampleRate : std::nullopt;
}

std::optional<uint32_t> FakeHardware::readUInt32(AudioObjectId object, PropertyAddress) {
  const Device* device = readable(object);
  return device ? device->transport : std::nullopt;
}

} // namespace quelt::fakes
