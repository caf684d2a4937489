#pragma once

#include "platform/Authorization.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace quelt::fakes {

// Permissions with given raw states. A prompt waits until the test answers it, or, given an
// answer up front, takes that state at once and calls back on the asking thread.
class FakeAuthorization : public Authorization {
public:
  static constexpr int64_t unanswered = -1;
  std::atomic<int64_t> microphone = 3;
  std::atomic<int64_t> speech = 3;
  std::atomic<int64_t> microphoneAnswer = unanswered;
  std::atomic<int64_t> speechAnswer = unanswered;
  std::atomic<int> prompts = 0;

  int64_t microphoneStatus() override { return microphone; }
  int64_t speechStatus() override { return speech; }
  void requestMicrophoneAccess(std::function<void(bool)> done) override {
    if (prompt(microphone, microphoneAnswer, pendingMicrophone_, done))
      done(microphone == 3);
  }
  void requestSpeechAuthorization(std::function<void(int64_t)> done) override {
    if (prompt(speech, speechAnswer, pendingSpeech_, done))
      done(speech);
  }

  // The user answers the prompt: the state changes, then the platform calls back from a
  // thread of its own with a flag the helper must not rely on.
  void answerMicrophone(int64_t newState, bool claimedGranted) {
    microphone = newState;
    callBack(pendingMicrophone_, claimedGranted);
  }
  void answerSpeech(int64_t newState, int64_t claimedState) {
    speech = newState;
    callBack(pendingSpeech_, claimedState);
  }

private:
  // Whether the prompt was answered at once; if not, `done` waits for the test.
  template <typename Claim>
  bool prompt(std::atomic<int64_t>& state, int64_t answer, std::function<void(Claim)>& pending,
              std::function<void(Claim)>& done) {
    ++prompts;
    if (answer != unanswered) {
      state = answer;
      return true;
    }
    std::lock_guard lock(mutex_);
    pending = std::move(done);
    return false;
  }
  template <typename Claim> void callBack(std::function<void(Claim)>& pending, Claim claim) {
    std::function<void(Claim)> done;
    {
      std::lock_guard lock(mutex_);
      done = std::exchange(pending, nullptr);
    }
    if (!done)
      return; // no prompt is up
    std::thread([done, claim] { done(claim); }).join();
  }

  std::mutex mutex_;
  std::function<void(bool)> pendingMicrophone_;
  std::function<void(int64_t)> pendingSpeech_;
};

} // namespace quelt::fakes
