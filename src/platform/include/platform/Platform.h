#pragma once

#include "platform/AudioInput.h"
#include "platform/AudioServices.h"
#include "platform/Authorization.h"
#include "platform/HardwareProperties.h"
#include "platform/ProcessInfo.h"
#include "platform/SpeechRecognizerService.h"
#include "platform/SynthesizerService.h"
#include "platform/TranscriberService.h"

#include <memory>

namespace quelt {

// Every operating-system service the core calls, handed to it as one value. The shipped binary
// fills it with the Linux implementations, tests with scriptable fakes.
struct Platform {
  std::shared_ptr<ProcessInfo> process;
  std::shared_ptr<Authorization> authorization;
  std::shared_ptr<HardwareProperties> hardware;
  std::shared_ptr<AudioServices> audio;
  std::shared_ptr<AudioInputService> audioInput;
  std::shared_ptr<SpeechRecognizerService> recognizer;
  std::shared_ptr<SynthesizerService> synthesizer;
  // Null where the system has no speech analyzer.
  std::shared_ptr<TranscriberService> transcriber;
};

} // namespace quelt
