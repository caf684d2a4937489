#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

// Four-character codes as the audio hardware layer spells its selectors, scopes and types.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

using AudioObjectId = uint32_t;

struct PropertyAddress {
  uint32_t selector = 0;
  uint32_t scope = 0;
  uint32_t element = 0; // the main element
};

namespace property {
inline constexpr AudioObjectId systemObject = 1;
inline constexpr AudioObjectId unknownObject = 0;

inline constexpr uint32_t scopeGlobal = fourCharCode("glob");
inline constexpr uint32_t scopeInput = fourCharCode("inpt");

inline constexpr uint32_t defaultInputDevice = fourCharCode("dIn ");  // system: one object id
inline constexpr uint32_t devices = fourCharCode("dev#");             // system: object ids
inline constexpr uint32_t streamConfiguration = fourCharCode("slay"); // device: buffer list
inline constexpr uint32_t deviceUid = fourCharCode("uid ");           // device: string
inline constexpr uint32_t name = fourCharCode("lnam");                // device: string
inline constexpr uint32_t manufacturer = fourCharCode("lmak");        // device: string
inline constexpr uint32_t nominalSampleRate = fourCharCode("nsrt");   // device: float64
inline constexpr uint32_t transportType = fourCharCode("tran");       // device: uint32 code

// Sizes in bytes of the values as the hardware layer stores them.
inline constexpr uint32_t objectIdSize = 4;
} // namespace property

// The audio hardware's object properties: each object (the system object, every device) answers
// whether it has a property, how many bytes its value takes, and the value. Every call answers
// what the hardware holds as far as the platform has told, without waiting on it for long: the
// device list is read on the main queue. A read that fails yields nothing.
class HardwareProperties {
public:
  virtual ~HardwareProperties() = default;

  virtual bool has(AudioObjectId object, PropertyAddress address) = 0;
  virtual std::optional<uint32_t> size(AudioObjectId object, PropertyAddress address) = 0;

  // Object ids ('dIn ' holds one, 'dev#' many).
  virtual std::optional<std::vector<AudioObjectId>> readObjectIds(AudioObjectId object,
                                                                  PropertyAddress address) = 0;
  // A stream configuration: the channel count of each buffer in the list.
  virtual std::optional<std::vector<uint32_t>> readBufferChannels(AudioObjectId object,
                                                                  PropertyAddress address) = 0;
  // A string reference; the inner nothing is a null reference.
  virtual std::optional<std::optional<std::string>> readString(AudioObjectId object,
                                                               PropertyAddress address) = 0;
  virtual std::optional<double> readFloat64(AudioObjectId object, PropertyAddress address) = 0;
  virtual std::optional<uint32_t> readUInt32(AudioObjectId object, PropertyAddress address) = 0;
};

} // namespace quelt
