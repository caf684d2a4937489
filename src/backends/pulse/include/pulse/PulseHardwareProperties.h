#pragma once

#include "platform/HardwareProperties.h"
#include "pulse/PulseLink.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quelt {

// The hardware properties of the PulseAudio server's sources, read from the list the link keeps
// current. No read waits on the server, except the first one of a new connection, briefly (see
// PulseLink::devices), so the main queue can ask.
class PulseHardwareProperties : public HardwareProperties {
public:
  explicit PulseHardwareProperties(std::shared_ptr<PulseLink> link = PulseLink::shared());

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
  std::shared_ptr<PulseLink> link_;
};

// The transport type code of a source with these proplist entries; 0 when nothing tells.
uint32_t pulseTransportType(const std::map<std::string, std::string>& properties);

} // namespace quelt
