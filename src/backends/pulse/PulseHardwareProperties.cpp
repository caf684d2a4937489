#include "pulse/PulseHardwareProperties.h"

#include <limits>

namespace quelt {
namespace {

using Source = PulseConnection::SourceInfo;

// Device object ids are PulseAudio source indexes plus two: ids 0 and 1 already name the
// unknown object and the system object.
constexpr AudioObjectId firstDeviceId = 2;

// As the hardware layer lays its values out: an AudioBufferList is a buffer count followed by
// one {channels, byte size, data} record per buffer; strings are references.
constexpr uint32_t bufferListHeaderSize = 4;
constexpr uint32_t bufferRecordSize = 16;
constexpr uint32_t stringReferenceSize = sizeof(void*);
constexpr uint32_t float64Size = 8;
constexpr uint32_t uint32Size = 4;

bool idExists(uint32_t index) {
  return index <= std::numeric_limits<AudioObjectId>::max() - firstDeviceId;
}

std::vector<AudioObjectId> deviceIds(const std::vector<Source>& sources) {
  std::vector<AudioObjectId> ids;
  for (const auto& source : sources) {
    if (idExists(source.index))
      ids.push_back(source.index + firstDeviceId);
  }
  return ids;
}

const Source* findSource(const std::vector<Source>& sources, AudioObjectId object) {
  if (object < firstDeviceId)
    return nullptr;
  for (const auto& source : sources) {
    if (source.index == object - firstDeviceId)
      return &source;
  }
  return nullptr;
}

std::optional<AudioObjectId> defaultInput(const std::vector<Source>& sources,
                                          const std::string& defaultSourceName) {
  if (defaultSourceName.empty())
    return std::nullopt;
  for (const auto& source : sources) {
    if (source.name == defaultSourceName && idExists(source.index))
      return source.index + firstDeviceId;
  }
  return std::nullopt;
}

const std::string* property(const Source& source, const char* key) {
  auto found = source.properties.find(key);
  return found == source.properties.end() ? nullptr : &found->second;
}

// A sink's monitor carries what is played, not what a microphone hears.
bool isMonitor(const Source& source) { return source.monitorOfSink != PA_INVALID_INDEX; }

const std::string* manufacturer(const Source& source) {
  const std::string* vendor = property(source, "device.vendor.name");
  return vendor && !vendor->empty() ? vendor : nullptr;
}

bool deviceHas(const Source& source, PropertyAddress address) {
  switch (address.selector) {
  case property::streamConfiguration:
    return address.scope == property::scopeInput;
  case property::manufacturer:
    return manufacturer(source) != nullptr;
  case property::transportType:
    // A bus we cannot name is no transport at all, not the code 0.
    return pulseTransportType(source.properties) != 0;
  case property::deviceUid:
  case property::name:
  case property::nominalSampleRate:
    return true;
  default:
    return false;
  }
}

std::optional<uint32_t> deviceSize(const Source& source, PropertyAddress address) {
  if (!deviceHas(source, address))
    return std::nullopt;
  switch (address.selector) {
  case property::streamConfiguration:
    return isMonitor(source) ? 0 : bufferListHeaderSize + bufferRecordSize;
  case property::deviceUid:
  case property::name:
  case property::manufacturer:
    return stringReferenceSize;
  case property::nominalSampleRate:
    return float64Size;
  case property::transportType:
    return uint32Size;
  default:
    return std::nullopt;
  }
}

// Whatever goes wrong while answering reads as a failed read.
template <typename Result, typename Answer> Result guarded(Answer answer) {
  try {
    return answer();
  } catch (...) {
    return Result{};
  }
}

} // namespace

uint32_t pulseTransportType(const std::map<std::string, std::string>& properties) {
  auto value = [&](const char* key) -> std::string {
    auto found = properties.find(key);
    return found == properties.end() ? std::string() : found->second;
  };
  if (value("device.form_factor") == "internal")
    return fourCharCode("bltn");
  std::string bus = value("device.bus");
  if (bus == "usb")
    return fourCharCode("usb ");
  if (bus == "bluetooth")
    return fourCharCode("blue");
  if (bus == "pci")
    return fourCharCode("pci ");
  if (bus == "firewire")
    return fourCharCode("1394");
  if (bus == "hdmi")
    return fourCharCode("hdmi");
  // Pipe sources carry only device.string, and a null sink's monitor only device.class
  // "monitor": neither names a bus or an api, which is what sets hardware apart.
  if (value("device.class") == "abstract" ||
      (!properties.contains("device.bus") && !properties.contains("device.api")))
    return fourCharCode("virt");
  return 0;
}

PulseHardwareProperties::PulseHardwareProperties(std::shared_ptr<PulseLink> link)
    : link_(std::move(link)) {}

bool PulseHardwareProperties::has(AudioObjectId object, PropertyAddress address) {
  return guarded<bool>([&] {
    if (object == property::systemObject) {
      if (address.selector == property::devices)
        return true;
      if (address.selector != property::defaultInputDevice)
        return false;
      auto devices = link_->devices();
      return defaultInput(devices->sources, devices->defaultSourceName).has_value();
    }
    auto devices = link_->devices();
    const Source* source = findSource(devices->sources, object);
    return source && deviceHas(*source, address);
  });
}

std::optional<uint32_t> PulseHardwareProperties::size(AudioObjectId object,
                                                      PropertyAddress address) {
  return guarded<std::optional<uint32_t>>([&]() -> std::optional<uint32_t> {
    if (object == property::systemObject) {
      auto ids = readObjectIds(object, address);
      if (!ids)
        return std::nullopt;
      return static_cast<uint32_t>(ids->size()) * property::objectIdSize;
    }
    auto devices = link_->devices();
    const Source* source = findSource(devices->sources, object);
    return source ? deviceSize(*source, address) : std::nullopt;
  });
}

std::optional<std::vector<AudioObjectId>>
PulseHardwareProperties::readObjectIds(AudioObjectId object, PropertyAddress address) {
  using Result = std::optional<std::vector<AudioObjectId>>;
  return guarded<Result>([&]() -> Result {
    if (object != property::systemObject ||
        (address.selector != property::devices && address.selector != property::defaultInputDevice))
      return std::nullopt;
    auto devices = link_->devices();
    if (address.selector == property::devices)
      return deviceIds(devices->sources);
    auto id = defaultInput(devices->sources, devices->defaultSourceName);
    if (!id)
      return std::nullopt;
    return std::vector<AudioObjectId>{*id};
  });
}

std::optional<std::vector<uint32_t>>
PulseHardwareProperties::readBufferChannels(AudioObjectId object, PropertyAddress address) {
  using Result = std::optional<std::vector<uint32_t>>;
  return guarded<Result>([&]() -> Result {
    if (object == property::systemObject || address.selector != property::streamConfiguration)
      return std::nullopt;
    auto devices = link_->devices();
    const Source* source = findSource(devices->sources, object);
    if (!source || !deviceHas(*source, address))
      return std::nullopt;
    if (isMonitor(*source))
      return std::vector<uint32_t>{};
    return std::vector<uint32_t>{source->channels};
  });
}

std::optional<std::optional<std::string>>
PulseHardwareProperties::readString(AudioObjectId object, PropertyAddress address) {
  using Result = std::optional<std::optional<std::string>>;
  return guarded<Result>([&]() -> Result {
    if (object == property::systemObject)
      return std::nullopt;
    auto devices = link_->devices();
    const Source* source = findSource(devices->sources, object);
    if (!source)
      return std::nullopt;
    switch (address.selector) {
    case property::deviceUid:
      return std::optional<std::string>(source->name);
    case property::name:
      if (source->description.empty())
        return std::optional<std::string>();
      return std::optional<std::string>(source->description);
    case property::manufacturer:
      if (const std::string* vendor = manufacturer(*source))
        return std::optional<std::string>(*vendor);
      return std::nullopt;
    default:
      return std::nullopt;
    }
  });
}

std::optional<double> PulseHardwareProperties::readFloat64(AudioObjectId object,
                                                           PropertyAddress address) {
  return guarded<std::optional<double>>([&]() -> std::optional<double> {
    if (object == property::systemObject || address.selector != property::nominalSampleRate)
      return std::nullopt;
    auto devices = link_->devices();
    const Source* source = findSource(devices->sources, object);
    if (!source)
      return std::nullopt;
    return static_cast<double>(source->sampleRate);
  });
}

std::optional<uint32_t> PulseHardwareProperties::readUInt32(AudioObjectId object,
                                                            PropertyAddress address) {
  return guarded<std::optional<uint32_t>>([&]() -> std::optional<uint32_t> {
    if (object == property::systemObject || address.selector != property::transportType)
      return std::nullopt;
    auto devices = link_->devices();
    const Source* source = findSource(devices->sources, object);
    if (!source)
      return std::nullopt;
    return pulseTransportType(source->properties);
  });
}

} // namespace quelt
