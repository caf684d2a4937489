#pragma once

#include "fakes/FakeAudioInput.h"
#include "fakes/FakeAudioServices.h"
#include "fakes/FakeAuthorization.h"
#include "fakes/FakeHardware.h"
#include "fakes/FakeProcessInfo.h"
#include "fakes/FakeRecognizer.h"
#include "fakes/FakeSynthesizer.h"
#include "fakes/FakeTranscriber.h"
#include "platform/Platform.h"

namespace quelt::fakes {

// One of each fake, handed to the core as its platform.
struct FakePlatform {
  std::shared_ptr<FakeProcessInfo> process = std::make_shared<FakeProcessInfo>();
  std::shared_ptr<FakeAuthorization> authorization = std::make_shared<FakeAuthorization>();
  std::shared_ptr<FakeHardware> hardware = std::make_shared<FakeHardware>();
  std::shared_ptr<FakeRecognizerService> recognizer = std::make_shared<FakeRecognizerService>();
  std::shared_ptr<FakeTranscriber> transcriber = std::make_shared<FakeTranscriber>();
  std::shared_ptr<FakeAudioServices> audio = std::make_shared<FakeAudioServices>();
  std::shared_ptr<FakeAudioInputService> audioInput = std::make_shared<FakeAudioInputService>();
  std::shared_ptr<FakeSynthesizerService> synthesizer = std::make_shared<FakeSynthesizerService>();

  Platform platform() const {
    return {.process = process,
            .authorization = authorization,
            .hardware = hardware,
            .audio = audio,
            .audioInput = audioInput,
            .recognizer = recognizer,
            .synthesizer = synthesizer,
            .transcriber = transcriber};
  }
};

} // namespace quelt::fakes
