#include "devices/InputDevices.h"

#include "protocol/OpHost.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>
#include <numeric>

namespace quelt {
namespace {

PropertyAddress global(uint32_t selector) { return {selector, property::scopeGlobal, 0}; }

std::optional<int64_t> inputChannels(HardwareProperties& hardware, AudioObjectId device) {
  PropertyAddress address{property::streamConfiguration, property::scopeInput, 0};
  auto size = hardware.size(device, address);
  if (!size || *size == 0)
    return std::nullopt;
  auto buffers = hardware.readBufferChannels(device, address);
  if (!buffers)
    return std::nullopt;
  return std::accumulate(buffers->begin(), buffers->end(), int64_t{0});
}

std::optional<std::string> readOptionalString(HardwareProperties& hardware, AudioObjectId device,
                                              uint32_t selector) {
  if (!hardware.has(device, global(selector)))
    return std::nullopt;
  auto value = hardware.readString(device, global(selector));
  if (!value)
    return std::nullopt;
  return *value;
}

std::optional<InputDeviceInfo> describe(HardwareProperties& hardware, AudioObjectId device) {
  auto channels = inputChannels(hardware, device);
  if (!channels || *channels < 1)
    return std::nullopt; // output-only
  auto uid = readOptionalString(hardware, device, property::deviceUid);
  if (!uid)
    return std::nullopt;
  InputDeviceInfo info;
  info.id = device;
  info.uid = *uid;
  info.name = readOptionalString(hardware, device, property::name).value_or(info.uid);
  info.manufacturer = readOptionalString(hardware, device, property::manufacturer);
  info.inputChannels = *channels;
  if (hardware.has(device, global(property::nominalSampleRate)))
    info.sampleRate = hardware.readFloat64(device, global(property::nominalSampleRate)).value_or(0);
  if (hardware.has(device, global(property::transportType)))
    if (auto code = hardware.readUInt32(device, global(property::transportType)))
      info.transport = fourCC(*code);
  return info;
}

// The root collation at secondary strength: accents count, letter case does not. A locale's own
// tailoring may not ignore case at any strength: en_US_POSIX, what ICU makes of LANG=C.UTF-8
// or no LANG at all, orders every capital before every small letter.
std::unique_ptr<icu::Collator> nameCollator() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(
      icu::Collator::createInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status))
    return nullptr;
  collator->setStrength(icu::Collator::SECONDARY);
  return collator;
}

} // namespace

Json deviceJSON(const InputDeviceInfo& device) {
  Json out = {{"uid", device.uid},
              {"name", device.name},
              {"input_channels", device.inputChannels},
              {"sample_rate", device.sampleRate},
              {"is_default", device.isDefault}};
  if (device.manufacturer)
    out["manufacturer"] = *device.manufacturer;
  if (device.transport)
    out["transport"] = *device.transport;
  return out;
}

std::optional<AudioObjectId> defaultInputDeviceID(HardwareProperties& hardware) {
  auto address = global(property::defaultInputDevice);
  if (!hardware.has(property::systemObject, address))
    return std::nullopt;
  auto ids = hardware.readObjectIds(property::systemObject, address);
  if (!ids || ids->empty() || ids->front() == property::unknownObject)
    return std::nullopt;
  return ids->front();
}

std::vector<InputDeviceInfo> listInputDevices(HardwareProperties& hardware) {
  auto size = hardware.size(property::systemObject, global(property::devices));
  if (!size)
    return {};
  size_t count = *size / property::objectIdSize;
  auto ids = hardware.readObjectIds(property::systemObject, global(property::devices));
  if (!ids)
    return {};
  ids->resize(std::min(ids->size(), count));
  auto defaultId = defaultInputDeviceID(hardware);

  std::vector<InputDeviceInfo> devices;
  for (AudioObjectId id : *ids) {
    auto info = describe(hardware, id);
    if (!info)
      continue;
    info->isDefault = defaultId && *defaultId == id;
    devices.push_back(std::move(*info));
  }

  auto collator = nameCollator();
  std::stable_sort(devices.begin(), devices.end(), [&](const auto& a, const auto& b) {
    if (a.isDefault != b.isDefault)
      return a.isDefault;
    if (!collator)
      return false;
    UErrorCode status = U_ZERO_ERROR;
    return collator->compareUTF8(a.name, b.name, status) == UCOL_LESS;
  });
  return devices;
}

std::optional<InputDeviceInfo> findInputDevice(const std::vector<InputDeviceInfo>& devices,
                                               const std::string& uid) {
  auto found = std::find_if(devices.begin(), devices.end(),
                            [&](const InputDeviceInfo& device) { return device.uid == uid; });
  if (found == devices.end())
    return std::nullopt;
  return *found;
}

std::string fourCC(uint32_t code) {
  const char bytes[4] = {static_cast<char>(code >> 24), static_cast<char>(code >> 16),
                         static_cast<char>(code >> 8), static_cast<char>(code)};
  icu::UnicodeString text(bytes, 4, "macintosh");
  int32_t start = 0;
  int32_t end = text.length();
  while (start < end && u_isblank(text.char32At(start)))
    ++start;
  while (end > start && u_isblank(text.char32At(end - 1)))
    --end;
  std::string out;
  text.tempSubStringBetween(start, end).toUTF8String(out);
  return out;
}

void registerDeviceOps(OpHost& host, std::shared_ptr<HardwareProperties> hardware) {
  // Answered on the main queue, so that it keeps its place among the requests: the hardware
  // layer answers from what it already knows rather than waiting on the sound server.
  host.registerOp(ops::devicesList, [hardware](const Params&, Reply done) {
    auto devices = listInputDevices(*hardware);
    Json list = Json::array();
    for (const auto& device : devices)
      list.push_back(deviceJSON(device));
    done(Json{{"devices", std::move(list)}});
  });
}

} // namespace quelt
