#pragma once

#include <string_view>

namespace quelt::identity {

// Who the process is to the system: the bundle identifier it reports, and the name it gives
// itself as a client of system services (the sound server, for one).
inline constexpr std::string_view bundleIdentifier = "app.quelt.voice-helper";
inline constexpr std::string_view bundleName = "quelt-voice-helper";

} // namespace quelt::identity
