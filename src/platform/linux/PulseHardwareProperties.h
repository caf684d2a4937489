#pragma once

#include "platform/HardwareProperties.h"
#include "platform/linux/PulseConnection.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelt {

// The hardware properties of the PulseAudio server's sources. Each query on the system object
// looks at the server afresh; device objects answer from the latest such look, so a device list
// and the properties read for it agree.
class PulseHardwareProperties : public HardwareProperties {
public:
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
  struct Snapshot {
    std::string defaultSourceName;
    std::vector<PulseConnection::SourceInfo> sources;
  };
  using SnapshotPtr = std::shared_ptr<const Snapshot>;

  // Asks the server; null when it cannot be reached. Becomes the latest unless a look begun
  // after it has already finished.
  SnapshotPtr freshSnapshot();
  SnapshotPtr latestSnapshot();

  std::mutex mutex_;
  SnapshotPtr latest_;
  uint64_t started_ = 0;   // snapshots begun
  uint64_t latestSeq_ = 0; // the sequence number of latest_
};

// The transport type code of a source with these proplist entries; 0 when nothing tells.
uint32_t pulseTransportType(const std::map<std::string, std::string>& properties);

} // namespace quelt
