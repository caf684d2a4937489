#include "pulse/PulseHardwareProperties.h"

#include "HelperProcess.h"
#include "linux/PulseServerFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>

namespace quelt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

PropertyAddress global(uint32_t selector) { return {selector, property::scopeGlobal, 0}; }

// The server tells the link of a change a moment after it made it.
bool eventually(const std::function<bool()>& done) {
  for (auto deadline = Clock::now() + 10s; !done(); std::this_thread::sleep_for(5ms))
    if (Clock::now() > deadline)
      return false;
  return true;
}

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

  // From the current device list; none once the server has not listed it within a while.
  AudioObjectId deviceWithUid(const std::string& wanted) {
    AudioObjectId found = property::unknownObject;
    eventually([&] {
      auto ids = hardware.readObjectIds(property::systemObject, global(property::devices));
      for (AudioObjectId id : ids.value_or(std::vector<AudioObjectId>{})) {
        auto uid = hardware.readString(id, global(property::deviceUid));
        if (uid && *uid == wanted)
          found = id;
      }
      return found != property::unknownObject;
    });
    EXPECT_NE(found, property::unknownObject) << "no device " << wanted;
    return found;
  }

  std::optional<std::vector<AudioObjectId>> defaultInput() {
    return hardware.readObjectIds(property::systemObject, global(property::defaultInputDevice));
  }

  PulseHardwareProperties hardware{std::make_shared<PulseLink>()};
};

// What the server holds now, not what it held at the first look: a source added later with its
// vendor and bus, the default it moves to, a source unloaded.
TEST_F(PulseHardwarePropertiesTest, FollowsTheServersSourcesAndDefault) {
  AudioObjectId mic = deviceWithUid(micSourceName);
  EXPECT_EQ(defaultInput(), std::vector<AudioObjectId>{mic});

  ASSERT_TRUE(pactl({"load-module", "module-pipe-source", "source_name=quelt_headset",
                     "file=" + fifoPath() + ".usb",
                     "source_properties='device.vendor.name=\"Acme Audio\" device.bus=usb'"}));
  AudioObjectId headset = deviceWithUid("quelt_headset");
  EXPECT_TRUE(hardware.has(headset, global(property::manufacturer)));
  EXPECT_EQ(hardware.readString(headset, global(property::manufacturer)),
            std::optional<std::string>("Acme Audio"));
  EXPECT_EQ(hardware.readUInt32(headset, global(property::transportType)), fourCharCode("usb "));

  ASSERT_TRUE(pactl({"set-default-source", speakerMonitorName}));
  AudioObjectId monitor = deviceWithUid(speakerMonitorName);
  EXPECT_TRUE(eventually([&] { return defaultInput() == std::vector<AudioObjectId>{monitor}; }));

  ASSERT_TRUE(unloadMicSource());
  EXPECT_TRUE(eventually([&] {
    return listedUids() == std::set<std::string>{speakerMonitorName, "quelt_headset"};
  }));
  EXPECT_FALSE(hardware.has(mic, global(property::deviceUid)));
  EXPECT_EQ(hardware.readString(mic, global(property::deviceUid)), std::nullopt);
}

// A server that stops answering keeps its last list, answered at once.
TEST_F(PulseHardwarePropertiesTest, AFrozenServersLastListIsAnsweredAtOnce) {
  AudioObjectId mic = deviceWithUid(micSourceName);
  freezeServer();
  auto start = Clock::now();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(listedUids(), (std::set<std::string>{micSourceName, speakerMonitorName}));
    EXPECT_EQ(defaultInput(), std::vector<AudioObjectId>{mic});
    EXPECT_EQ(hardware.readFloat64(mic, global(property::nominalSampleRate)), double{micRate});
  }
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(UnreachablePulseServer, ListsNoDevicesQuickly) {
  testing::ScopedEnvironmentVariable server("PULSE_SERVER",
                                            "unix:/nonexistent/quelt-no-such-pulse/native");
  PulseHardwareProperties hardware{std::make_shared<PulseLink>()};
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

// The server's microphone and not its monitor; and once the server stops answering, an
// utterance waiting on it holds up nothing else: the device list, as last known, and "hello"
// are answered at once and in order, and the utterance ends once the server answers again.
TEST_F(DevicesOnAPulseServer, TheHelperListsTheMicrophoneAndAFrozenServerHoldsUpNothingElse) {
  HelperProcess helper; // inherits PULSE_SERVER from the fixture
  helper.send(R"({"id":1,"op":"devices.list"})");
  auto known = helper.next();
  ASSERT_TRUE(known);
  EXPECT_EQ((*known)["result"]["devices"], Json::array({{{"uid", micSourceName},
                                                         {"name", "Unix FIFO source " + fifoPath()},
                                                         {"input_channels", 1},
                                                         {"sample_rate", 16000.0},
                                                         {"is_default", true},
                                                         {"transport", "virt"}}}));

  freezeServer();
  helper.send(R"({"id":2,"op":"speech.speak","params":{"utterance":5,"text":"Still here."}})");
  helper.send(R"({"id":3,"op":"devices.list"})");
  helper.send(R"({"id":4,"op":"hello"})");
  auto sent = std::chrono::steady_clock::now();
  std::vector<int64_t> replies;
  Json devices;
  while (replies.size() < 3) {
    auto line = helper.next(30s);
    ASSERT_TRUE(line) << "replies so far: " << replies.size();
    if (!line->contains("id"))
      continue;
    replies.push_back((*line)["id"]);
    if (replies.back() == 3)
      devices = (*line)["result"]["devices"];
  }
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 1s);
  EXPECT_EQ(replies, (std::vector<int64_t>{2, 3, 4}));
  EXPECT_EQ(devices, (*known)["result"]["devices"]);

  thawServer();
  std::string ended;
  while (auto line = helper.next(60s)) {
    std::string event = line->value("event", "");
    if (event == "speech.finished" || event == "speech.cancelled") {
      ended = event;
      break;
    }
  }
  EXPECT_FALSE(ended.empty()) << "the utterance never ended";
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

} // namespace
} // namespace quelt::testing
