#pragma once

#include "platform/AudioServices.h"

#include <memory>

namespace quelt {

// Format conversion with libsoxr for the rate.
//
// Channel mapping, since files carry no layout the helper could trust: many to one averages
// the channels, one to many copies the channel, and otherwise the first channels pass through
// and any extra output channels stay silent. The first channels are the front left and right
// in every common layout, so they keep the speech; mixing the rest in would invent a layout.
//
// Null for a rate that is not positive or no channels on either side.
std::unique_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to);

} // namespace quelt
