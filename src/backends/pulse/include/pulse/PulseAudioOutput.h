#pragma once

#include "platform/AudioOutput.h"

#include <memory>
#include <string>

namespace quelt {

class PulseConnection;

// Playback streams on the server's default sink, over a connection of its own that is made
// again when the server went away.
class PulseAudioOutput : public AudioOutput {
public:
  explicit PulseAudioOutput(std::string clientName);
  ~PulseAudioOutput() override;
  PulseAudioOutput(const PulseAudioOutput&) = delete;
  PulseAudioOutput& operator=(const PulseAudioOutput&) = delete;

  std::unique_ptr<Playback> play(std::span<const int16_t> samples, double rate) override;

private:
  std::string clientName_;
  std::unique_ptr<PulseConnection> pulse_;
};

} // namespace quelt
