#pragma once

#include <functional>

namespace quelt {

// Hands a block to the main queue, from any thread. What runs off the main queue (delivery
// threads, platform callbacks) reports back through one of these.
using PostToMain = std::function<void(std::function<void()> block)>;

} // namespace quelt
