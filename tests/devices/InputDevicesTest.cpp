#include "devices/InputDevices.h"
#include "fakes/FakeHardware.h"

#include <gtest/gtest.h>

#include <unicode/locid.h>

namespace quelt::testing {
namespace {

using Device = fakes::FakeHardware::Device;

Device microphone(AudioObjectId id, const std::string& name, std::vector<uint32_t> buffers = {1}) {
  Device device;
  device.id = id;
  device.uid = "uid-" + std::to_string(id);
  device.name = name;
  device.inputBuffers = std::move(buffers);
  return device;
}

std::vector<std::string> names(const std::vector<InputDeviceInfo>& devices) {
  std::vector<std::string> out;
  for (const auto& device : devices)
    out.push_back(device.name);
  return out;
}

TEST(InputDevices, DescribesEachRecordingDeviceWithItsFallbacks) {
  fakes::FakeHardware hardware;
  Device full = microphone(10, "Studio Mic", {2, 1});
  full.manufacturer = "Acme";
  full.sampleRate = 48000;
  full.transport = fourCharCode("usb ");
  Device unnamed = microphone(11, "");
  unnamed.name = std::optional<std::string>(); // a null name reference
  Device nameless = microphone(12, "");
  nameless.name.reset(); // no name property at all
  Device brokenRate = microphone(13, "Broken");
  brokenRate.sampleRate.reset();
  hardware.devices = {full, unnamed, nameless, brokenRate};

  auto devices = listInputDevices(hardware);
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(deviceJSON(devices[1]), (Json{{"uid", "uid-10"},
                                          {"name", "Studio Mic"},
                                          {"manufacturer", "Acme"},
                                          {"input_channels", 3},
                                          {"sample_rate", 48000.0},
                                          {"is_default", false},
                                          {"transport", "usb"}}));
  EXPECT_EQ(deviceJSON(devices[0]), (Json{{"uid", "uid-13"},
                                          {"name", "Broken"},
                                          {"input_channels", 1},
                                          {"sample_rate", 0.0},
                                          {"is_default", false}}));
  EXPECT_EQ(devices[2].name, "uid-11");
  EXPECT_EQ(devices[3].name, "uid-12");
}

TEST(InputDevices, LeavesOutOutputsAndDevicesWithoutAUid) {
  fakes::FakeHardware hardware;
  Device output = microphone(11, "Speakers", {});
  Device silent = microphone(12, "Zero channels", {0, 0});
  Device noUid = microphone(13, "No uid");
  noUid.uid.reset();
  Device nullUid = microphone(14, "Null uid");
  nullUid.uid = std::optional<std::string>();
  Device unreadable = microphone(15, "Unreadable");
  unreadable.readFails = true;
  hardware.devices = {output, silent, noUid, nullUid, unreadable, microphone(16, "Mic")};
  EXPECT_EQ(names(listInputDevices(hardware)), std::vector<std::string>{"Mic"});

  hardware.listFails = true;
  EXPECT_TRUE(listInputDevices(hardware).empty());
}

// Sets ICU's default locale while it lives.
class ScopedDefaultLocale {
public:
  explicit ScopedDefaultLocale(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale(name), status);
  }
  ~ScopedDefaultLocale() {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(saved_, status);
  }

private:
  icu::Locale saved_ = icu::Locale::getDefault();
};

// Under LANG=C.UTF-8, or with no LANG, ICU's default locale is en_US_POSIX, whose own order puts
// every capital before every small letter; names still compare without regard to case.
TEST(InputDevices, TheDefaultComesFirstThenNamesCaseInsensitivelyInListOrder) {
  ScopedDefaultLocale posix("en_US_POSIX");
  fakes::FakeHardware hardware;
  hardware.devices = {microphone(11, "Bravo"), microphone(12, "alpha"), microphone(13, "ALPHA")};
  EXPECT_EQ(names(listInputDevices(hardware)),
            (std::vector<std::string>{"alpha", "ALPHA", "Bravo"}));
  hardware.devices = {microphone(11, "beta"), microphone(12, "Zulu"), microphone(13, "alpha"),
                      microphone(14, "Beta"), microphone(15, "BETA")};
  EXPECT_EQ(names(listInputDevices(hardware)),
            (std::vector<std::string>{"alpha", "beta", "Beta", "BETA", "Zulu"}));

  hardware.defaultDevice = 12;
  auto devices = listInputDevices(hardware);
  EXPECT_EQ(names(devices), (std::vector<std::string>{"Zulu", "alpha", "beta", "Beta", "BETA"}));
  EXPECT_TRUE(devices[0].isDefault);
  EXPECT_FALSE(devices[1].isDefault);

  hardware.defaultDevice = 0; // the unknown object: no default
  EXPECT_FALSE(listInputDevices(hardware)[0].isDefault);
}

TEST(FourCC, DecodesMacRomanAndTrimsHorizontalSpace) {
  EXPECT_EQ(fourCC(fourCharCode("bltn")), "bltn");
  EXPECT_EQ(fourCC(fourCharCode("usb ")), "usb");
  EXPECT_EQ(fourCC(fourCharCode(" \t1 ")), "1");
  EXPECT_EQ(fourCC(0xCA202020), ""); // Mac OS Roman 0xCA is the no-break space
  EXPECT_EQ(fourCC(0x8E41A5FF), "\u00E9A\u2022\u02C7");
}

} // namespace
} // namespace quelt::testing
