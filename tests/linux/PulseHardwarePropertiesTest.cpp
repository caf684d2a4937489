#include "platform/linux/PulseHardwareProperties.h"

#include "HelperProcess.h"
#include "linux/PulseServerFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

namespace quelt {
namespace {

using namespace std::chrono_literals;

PropertyAddress global(uint32_t selector) { return {selector, property::scopeGlobal, 0}; }
PropertyAddress input(uint32_t selector) { return {selector, property::scopeInput, 0}; }

class PulseHardwarePropertiesTest : public testing::PulseServerFixture {
protected:
  std::set<std::string> listedUids() {
    std::set<std::string> uids;
    auto ids = hardware.readObjectIds(property::systemObject, global(property::devices));
    EXPECT_TRUE(ids.has_value());
    for (AudioObjectId id : ids.value_or(std::vector<AudioObjectId>{})) {
      auto uid = hardware.readString(id, global(property::deviceUid));
      if (uid && *uid)
        uids.insert(**uid);
    }
    return uids;
  }

  // From a fresh device list.
  AudioObjectId deviceWithUid(const std::string& wanted) {
    auto ids = hardware.readObjectIds(property::systemObject, global(property::devices));
    for (AudioObjectId id : ids.value_or(std::vector<AudioObjectId>{})) {
      auto uid = hardware.readString(id, global(property::deviceUid));
      if (uid && *uid == wanted)
        return id;
    }
    ADD_FAILURE() << "no device " << wanted;
    return property::unknownObject;
  }

  PulseHardwareProperties hardware;
};

TEST_F(PulseHardwarePropertiesTest, PipeSourceIsAOneChannelMicrophone) {
  AudioObjectId mic = deviceWithUid(micSourceName);
  EXPECT_TRUE(hardware.has(mic, input(property::streamConfiguration)));
  EXPECT_GT(hardware.size(mic, input(property::streamConfiguration)).value_or(0), 0u);
  EXPECT_EQ(hardware.readBufferChannels(mic, input(property::streamConfiguration)),
            std::vector<uint32_t>{1});
  EXPECT_EQ(hardware.readFloat64(mic, global(property::nominalSampleRate)), double(micRate));
  auto name = hardware.readString(mic, global(property::name));
  ASSERT_TRUE(name && *name);
  EXPECT_NE((*name)->find(fifoPath()), std::string::npos) << **name;
  EXPECT_EQ(hardware.readUInt32(mic, global(property::transportType)), fourCharCode("virt"));
  EXPECT_FALSE(hardware.has(mic, global(property::manufacturer)));
  EXPECT_EQ(hardware.readString(mic, global(property::manufacturer)), std::nullopt);
}

TEST_F(PulseHardwarePropertiesTest, SinkMonitorHasNoInputChannels) {
  AudioObjectId monitor = deviceWithUid(speakerMonitorName);
  EXPECT_EQ(hardware.size(monitor, input(property::streamConfiguration)), 0u);
  EXPECT_EQ(hardware.readBufferChannels(monitor, input(property::streamConfiguration)),
            std::vector<uint32_t>{});
  EXPECT_EQ(hardware.readUInt32(monitor, global(property::transportType)), fourCharCode("virt"));
}

TEST_F(PulseHardwarePropertiesTest, DefaultInputFollowsTheServer) {
  AudioObjectId mic = deviceWithUid(micSourceName);
  EXPECT_TRUE(hardware.has(property::systemObject, global(property::defaultInputDevice)));
  EXPECT_EQ(hardware.size(property::systemObject, global(property::defaultInputDevice)),
            property::objectIdSize);
  EXPECT_EQ(hardware.readObjectIds(property::systemObject, global(property::defaultInputDevice)),
            std::vector<AudioObjectId>{mic});

  ASSERT_TRUE(pactl({"set-default-source", speakerMonitorName}));
  AudioObjectId monitor = deviceWithUid(speakerMonitorName);
  EXPECT_EQ(hardware.readObjectIds(property::systemObject, global(property::defaultInputDevice)),
            std::vector<AudioObjectId>{monitor});
}

TEST_F(PulseHardwarePropertiesTest, SourceAddedAtRuntimeShowsItsVendorAndBus) {
  ASSERT_TRUE(pactl({"load-module", "module-pipe-source", "source_name=quelt_headset",
                     "file=" + fifoPath() + ".usb",
                     "source_properties='device.vendor.name=\"Acme Audio\" device.bus=usb'"}));
  AudioObjectId headset = deviceWithUid("quelt_headset");
  EXPECT_TRUE(hardware.has(headset, global(property::manufacturer)));
  EXPECT_EQ(hardware.readString(headset, global(property::manufacturer)),
            std::optional<std::string>("Acme Audio"));
  EXPECT_EQ(hardware.readUInt32(headset, global(property::transportType)), fourCharCode("usb "));
}

TEST_F(PulseHardwarePropertiesTest, UnloadedSourceIsGoneFromTheNextList) {
  AudioObjectId mic = deviceWithUid(micSourceName);
  ASSERT_TRUE(unloadMicSource());

  EXPECT_EQ(listedUids(), std::set<std::string>{speakerMonitorName});
  EXPECT_FALSE(hardware.has(mic, global(property::deviceUid)));
  EXPECT_EQ(hardware.readString(mic, global(property::deviceUid)), std::nullopt);
  auto defaultInput =
      hardware.readObjectIds(property::systemObject, global(property::defaultInputDevice));
  EXPECT_NE(defaultInput, std::vector<AudioObjectId>{mic});
}

// Points libpulse at a socket nobody listens on, for one test.
class UnreachablePulseServer : public ::testing::Test {
protected:
  void SetUp() override {
    if (const char* previous = std::getenv("PULSE_SERVER"))
      saved_ = previous;
    ::setenv("PULSE_SERVER", "unix:/nonexistent/quelt-no-such-pulse/native", 1);
  }
  void TearDown() override {
    if (saved_)
      ::setenv("PULSE_SERVER", saved_->c_str(), 1);
    else
      ::unsetenv("PULSE_SERVER");
  }

private:
  std::optional<std::string> saved_;
};

TEST_F(UnreachablePulseServer, ListsNoDevicesQuickly) {
  PulseHardwareProperties hardware;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hardware.size(property::systemObject, global(property::devices)).value_or(0), 0u);
  EXPECT_TRUE(hardware.readObjectIds(property::systemObject, global(property::devices))
                  .value_or(std::vector<AudioObjectId>{})
                  .empty());
  EXPECT_FALSE(hardware.has(property::systemObject, global(property::defaultInputDevice)));
  EXPECT_FALSE(hardware.has(2, global(property::deviceUid)));
  EXPECT_EQ(hardware.readFloat64(2, global(property::nominalSampleRate)), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(PulseTransportType, BuiltInWinsThenBusThenVirtual) {
  using Properties = std::map<std::string, std::string>;
  struct Case {
    Properties properties;
    uint32_t expected;
  };
  const Case cases[] = {
      {{{"device.form_factor", "internal"}, {"device.bus", "usb"}}, fourCharCode("bltn")},
      {{{"device.bus", "usb"}, {"device.api", "alsa"}}, fourCharCode("usb ")},
      {{{"device.bus", "bluetooth"}}, fourCharCode("blue")},
      {{{"device.bus", "pci"}, {"device.form_factor", "headset"}}, fourCharCode("pci ")},
      {{{"device.bus", "firewire"}}, fourCharCode("1394")},
      {{{"device.bus", "hdmi"}}, fourCharCode("hdmi")},
      {{{"device.class", "abstract"}, {"device.api", "alsa"}}, fourCharCode("virt")},
      {{{"device.class", "monitor"}}, fourCharCode("virt")},
      {{{"device.string", "/tmp/fifo"}}, fourCharCode("virt")},
      {{{"device.api", "alsa"}, {"device.bus", "platform"}}, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(pulseTransportType(c.properties), c.expected)
        << ::testing::PrintToString(c.properties);
}

} // namespace
} // namespace quelt

namespace quelt::testing {
namespace {

using DevicesOnAPulseServer = PulseServerFixture;

TEST_F(DevicesOnAPulseServer, TheHelperListsTheServersMicrophoneAndNotItsMonitor) {
  HelperProcess helper; // inherits PULSE_SERVER from the fixture
  helper.send(R"({"id":1,"op":"devices.list"})");
  auto reply = helper.next();
  ASSERT_TRUE(reply);
  EXPECT_EQ((*reply)["result"]["devices"], Json::array({{{"uid", micSourceName},
                                                         {"name", "Unix FIFO source " + fifoPath()},
                                                         {"input_channels", 1},
                                                         {"sample_rate", 16000.0},
                                                         {"is_default", true},
                                                         {"transport", "virt"}}}));
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

} // namespace
} // namespace quelt::testing
