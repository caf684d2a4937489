#pragma once

#include "server/Version.h"

#include <cstdint>
#include <string_view>

namespace quelt {

// Protocol constants.
inline constexpr int64_t protocolVersion = 1;
inline constexpr std::string_view helperVersion = projectVersion;
inline constexpr size_t maxLineBytes = 1048576;
inline constexpr size_t maxTextChars = 32768;
inline constexpr size_t maxContextStrings = 100;
inline constexpr size_t maxContextStringChars = 100;

// What the process says about itself: its bundle identity, and the texts a platform shows when
// it asks the user for the microphone and for speech recognition.
namespace identity {
inline constexpr std::string_view bundleIdentifier = "app.quelt.voice-helper";
inline constexpr std::string_view bundleName = "quelt-voice-helper";
inline constexpr std::string_view bundleVersion = "1";
inline constexpr std::string_view bundleShortVersion = projectVersion;
inline constexpr bool agentProcess = true; // no Dock icon, no menu bar
inline constexpr std::string_view microphoneUsageDescription =
    "Quelt listens only while you hold or toggle voice input, and only after you start it.";
inline constexpr std::string_view speechRecognitionUsageDescription =
    "Quelt turns your voice into text on this Mac. Audio is not sent to Apple unless you enable "
    "server recognition.";
} // namespace identity

} // namespace quelt
