#pragma once

#include <cstdint>
#include <functional>

namespace quelt {

// The user's permissions for the microphone and for speech recognition, in the raw values of
// the platform's two enumerations (which order restricted and denied differently).
class Authorization {
public:
  // Capture-device authorization for audio: 0 not determined, 1 restricted, 2 denied,
  // 3 authorized.
  virtual int64_t microphoneStatus() = 0;
  // Speech-recognizer authorization: 0 not determined, 1 denied, 2 restricted, 3 authorized.
  virtual int64_t speechStatus() = 0;

  // Show the platform's prompt; the callback comes later, on any thread.
  virtual void requestMicrophoneAccess(std::function<void(bool granted)> done) = 0;
  virtual void requestSpeechAuthorization(std::function<void(int64_t status)> done) = 0;

  virtual ~Authorization() = default;
};

} // namespace quelt
