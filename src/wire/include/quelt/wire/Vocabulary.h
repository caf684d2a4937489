#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The names on the wire and the protocol's version, spelled once for the helper and its clients
// (this header is installed with the client library). Each kind of name is a type of its own, so
// an event name cannot be registered as an op nor an op name sent as an error code.

namespace quelt {

// What "hello" reports as "protocol"; a client built for another version cannot trust the rest.
inline constexpr int64_t protocolVersion = 1;

template <typename Tag> struct WireName {
  std::string_view text;

  constexpr bool operator==(const WireName&) const = default;
  bool operator==(std::string_view other) const { return text == other; }
  std::string string() const { return std::string(text); }
};

using OpName = WireName<struct OpTag>;
using EventName = WireName<struct EventTag>;
using ErrorCode = WireName<struct ErrorCodeTag>;

namespace ops {
inline constexpr OpName hello{"hello"};
inline constexpr OpName shutdown{"shutdown"};
inline constexpr OpName authorizationStatus{"authorization.status"};
inline constexpr OpName authorizationRequest{"authorization.request"};
inline constexpr OpName devicesList{"devices.list"};
inline constexpr OpName localesList{"locales.list"};
inline constexpr OpName localesGet{"locales.get"};
inline constexpr OpName localesInstall{"locales.install"};
inline constexpr OpName voicesList{"voices.list"};
inline constexpr OpName captureStart{"capture.start"};
inline constexpr OpName captureCommit{"capture.commit"};
inline constexpr OpName captureStop{"capture.stop"};
inline constexpr OpName captureCancel{"capture.cancel"};
inline constexpr OpName speechSpeak{"speech.speak"};
inline constexpr OpName speechStop{"speech.stop"};
inline constexpr OpName speechPause{"speech.pause"};
inline constexpr OpName speechContinue{"speech.continue"};
inline constexpr OpName speechSynthesizeFile{"speech.synthesize_file"};
} // namespace ops

namespace events {
inline constexpr EventName protocolError{"protocol_error"};
inline constexpr EventName captureListening{"capture.listening"};
inline constexpr EventName captureLevel{"capture.level"};
inline constexpr EventName capturePartial{"capture.partial"};
inline constexpr EventName captureFinal{"capture.final"};
inline constexpr EventName captureSegment{"capture.segment"};
inline constexpr EventName captureStopped{"capture.stopped"};
inline constexpr EventName captureCancelled{"capture.cancelled"};
inline constexpr EventName captureFailed{"capture.failed"};
inline constexpr EventName speechStarted{"speech.started"};
inline constexpr EventName speechRange{"speech.range"};
inline constexpr EventName speechPaused{"speech.paused"};
inline constexpr EventName speechResumed{"speech.resumed"};
inline constexpr EventName speechFinished{"speech.finished"};
inline constexpr EventName speechCancelled{"speech.cancelled"};
} // namespace events

namespace errors {
inline constexpr ErrorCode invalidRequest{"invalid_request"};
inline constexpr ErrorCode native{"native"};
inline constexpr ErrorCode io{"io"};
inline constexpr ErrorCode sessionNotActive{"session_not_active"};
inline constexpr ErrorCode voiceNotFound{"voice_not_found"};
inline constexpr ErrorCode deviceNotFound{"device_not_found"};
inline constexpr ErrorCode noInputDevice{"no_input_device"};
inline constexpr ErrorCode localeUnsupported{"locale_unsupported"};
inline constexpr ErrorCode onDeviceUnavailable{"on_device_unavailable"};
inline constexpr ErrorCode recognizerUnavailable{"recognizer_unavailable"};
inline constexpr ErrorCode networkUnavailable{"network_unavailable"};
inline constexpr ErrorCode notAuthorizedMicrophone{"not_authorized_microphone"};
inline constexpr ErrorCode notAuthorizedSpeech{"not_authorized_speech"};
inline constexpr ErrorCode assetInstallFailed{"asset_install_failed"};
} // namespace errors

// The keys of every message's envelope.
namespace keys {
inline constexpr std::string_view id = "id";
inline constexpr std::string_view op = "op";
inline constexpr std::string_view params = "params";
inline constexpr std::string_view ok = "ok";
inline constexpr std::string_view result = "result";
inline constexpr std::string_view error = "error";
inline constexpr std::string_view event = "event";
} // namespace keys

} // namespace quelt
