#pragma once

#include "platform/AudioInput.h"

#include <memory>

namespace quelt {

// Inputs that record from PulseAudio sources, each over a server connection of its own. The
// device's uid is the source's name; without a selected device an input records from the
// server's default source. Audio arrives as float32, interleaved, at the source's own rate and
// channel count, and the tap runs on the connection's mainloop thread.
class PulseAudioInputService : public AudioInputService {
public:
  std::unique_ptr<AudioInput> makeInput() override;
};

} // namespace quelt
