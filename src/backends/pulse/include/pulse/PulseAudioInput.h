#pragma once

#include "platform/AudioInput.h"
#include "pulse/PulseLink.h"

#include <memory>

namespace quelt {

// Inputs that record from PulseAudio sources, as streams on the link's one connection. The
// device's uid is the source's name; without a selected device an input records from the
// server's default source. Audio arrives as float32, interleaved, at the source's own rate and
// channel count, and the tap runs on the connection's mainloop thread.
//
// Choosing the device and reading its format answer from the link's device list, so the main
// queue may call them; only start() talks to the server, waiting at most the link's timeout.
class PulseAudioInputService : public AudioInputService {
public:
  explicit PulseAudioInputService(std::shared_ptr<PulseLink> link = PulseLink::shared());
  std::unique_ptr<AudioInput> makeInput() override;

private:
  std::shared_ptr<PulseLink> link_;
};

} // namespace quelt
