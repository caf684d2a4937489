#pragma once

#include "platform/Authorization.h"

namespace quelt {

// Linux desktops grant the microphone and local recognition to every program of the user: there
// is no per-application prompt, so both permissions are authorized.
class LinuxAuthorization : public Authorization {
public:
  static constexpr int64_t authorized = 3;

  int64_t microphoneStatus() override { return authorized; }
  int64_t speechStatus() override { return authorized; }
  void requestMicrophoneAccess(std::function<void(bool)> done) override { done(true); }
  void requestSpeechAuthorization(std::function<void(int64_t)> done) override { done(authorized); }
};

} // namespace quelt
