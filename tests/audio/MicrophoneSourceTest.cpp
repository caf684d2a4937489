#include "audio/MicrophoneSource.h"
#include "platform/PlatformError.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quelt {
namespace {

class FakeInput : public AudioInput {
public:
  // Outlives the input, which the source owns.
  struct State {
    int32_t status = 0;
    AudioFormat format{44100, 2, SampleFormat::float32, true};
    std::optional<PlatformError> startError;
    bool running = false;
    std::optional<uint32_t> tapFrames;
    std::function<void(const PcmBuffer&)> tap;
    std::function<void()> onChange;
  };

  explicit FakeInput(std::shared_ptr<State> state) : s(std::move(state)) {}
  int32_t selectDevice(const InputDeviceInfo&) override { return s->status; }
  AudioFormat outputFormat() override { return s->format; }
  void installTap(uint32_t frames, std::function<void(const PcmBuffer&)> tap) override {
    s->tapFrames = frames;
    s->tap = std::move(tap);
  }
  void removeTap() override {
    s->tapFrames.reset();
    s->tap = nullptr;
  }
  void setConfigurationChangeHandler(std::function<void()> handler) override {
    s->onChange = std::move(handler);
  }
  void start() override {
    if (s->startError)
      throw *s->startError;
    s->running = true;
  }
  void stop() override { s->running = false; }
  bool isRunning() override { return s->running; }

  std::shared_ptr<State> s;
};

class MicrophoneSourceTest : public ::testing::Test, public AudioInputService {
protected:
  std::unique_ptr<AudioInput> makeInput() override { return std::make_unique<FakeInput>(input); }

  std::shared_ptr<MicrophoneSource> make() {
    InputDeviceInfo device;
    device.uid = "usb-desk";
    device.name = "Desk Mic";
    return MicrophoneSource::create(
        *this, device, [this](std::function<void()> block) { posted.push_back(std::move(block)); });
  }
  HelperError creationError() {
    try {
      make();
    } catch (const HelperError& error) {
      return error;
    }
    ADD_FAILURE() << "creation succeeded";
    return HelperError(ErrorCode{"none"}, "");
  }
  void start(MicrophoneSource& source) {
    source.start([this](const PcmBuffer& buffer) { received.push_back(&buffer); },
                 [] { ADD_FAILURE() << "a microphone never ends"; },
                 [this](const HelperError& error) { failures.push_back(error); });
  }
  void runMainQueue() {
    for (auto blocks = std::move(posted); auto& block : blocks)
      block();
  }

  std::shared_ptr<FakeInput::State> input = std::make_shared<FakeInput::State>();
  std::vector<std::function<void()>> posted;
  std::vector<const PcmBuffer*> received;
  std::vector<HelperError> failures;
};

TEST_F(MicrophoneSourceTest, CreationFailsForAnUnusableDeviceOrFormat) {
  input->status = 5;
  HelperError missing = creationError();
  EXPECT_EQ(missing.code(), "device_not_found");
  EXPECT_EQ(missing.message(), "usb-desk");
  EXPECT_EQ(missing.domain(), "CoreAudio");
  EXPECT_EQ(missing.nativeCode(), 5);

  input->status = 0;
  for (AudioFormat format : {AudioFormat{0, 1, SampleFormat::float32, true},
                             AudioFormat{48000, 0, SampleFormat::float32, true}}) {
    input->format = format;
    HelperError unusable = creationError();
    EXPECT_EQ(unusable.code(), "no_input_device");
    EXPECT_EQ(unusable.message(), "input device Desk Mic reports no usable format");
  }
}

TEST_F(MicrophoneSourceTest, DeliversThroughA2048FrameTapAndFailsOnceWhenTheInputStops) {
  auto source = make();
  EXPECT_EQ(source->format(), input->format);
  start(*source);
  EXPECT_TRUE(input->running);
  EXPECT_EQ(input->tapFrames, 2048u);
  PcmBuffer buffer(source->format(), 2048);
  input->tap(buffer);
  EXPECT_EQ(received, std::vector<const PcmBuffer*>{&buffer});

  input->onChange();
  runMainQueue();
  EXPECT_TRUE(failures.empty()) << "a change that left the input running";

  input->running = false;
  input->onChange();
  input->onChange();
  EXPECT_TRUE(failures.empty()) << "reported off the main queue";
  runMainQueue();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].message(), "audio input configuration changed; capture stopped");
}

TEST_F(MicrophoneSourceTest, AFailedStartIsNativeAndLeavesNoTap) {
  auto source = make();
  input->startError = PlatformError("PulseAudio", 5, "No such entity");
  try {
    start(*source);
    FAIL() << "started";
  } catch (const HelperError& error) {
    EXPECT_EQ(error.code(), "native");
    EXPECT_EQ(error.message(), "start audio engine: No such entity");
    EXPECT_EQ(error.domain(), "PulseAudio");
    EXPECT_EQ(error.nativeCode(), 5);
  }
  EXPECT_FALSE(input->tap);
  EXPECT_FALSE(input->tapFrames);
}

TEST_F(MicrophoneSourceTest, ChangesPostedBeforeAStopOrTheSourcesEndAreDropped) {
  auto source = make();
  source->stop();
  start(*source);
  auto change = input->onChange;
  input->running = false;
  change();
  source->stop();
  source->stop();
  EXPECT_FALSE(input->tap);
  EXPECT_FALSE(input->onChange);
  runMainQueue();

  start(*source);
  input->running = false;
  change();
  runMainQueue();

  change = input->onChange;
  change();
  source.reset();
  runMainQueue();
  EXPECT_TRUE(failures.empty());
}

} // namespace
} // namespace quelt
