#pragma once

#include "platform/PcmBuffer.h"
#include "platform/PlatformError.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quelt {

// An installed speech voice. Quality, gender and traits keep the platform's raw values:
// quality 1 default, 2 enhanced, 3 premium; gender 0 unspecified, 1 male, 2 female; trait bits
// 1 novelty, 2 personal voice.
struct VoiceInfo {
  std::string identifier;
  std::string name;
  std::string language; // as the platform reports it, e.g. "en-US"
  int64_t quality = 1;
  int64_t gender = 0;
  uint32_t traits = 0;
};

// One text to speak and how. Matched back to its request by identity, never by text.
struct SpeechUtterance {
  std::string text;
  std::optional<VoiceInfo> voice; // nothing: the synthesizer's default voice
  std::optional<float> rate;      // 0..1, 0.5 normal
  std::optional<float> pitch;     // multiplier 0.5..2
  std::optional<float> volume;    // 0..1
};

enum class SpeechBoundary { immediate = 0, word = 1 };

// What a synthesizer reports about the utterance it speaks; called from any thread, in order.
// Ranges are UTF-16 code unit offsets into the utterance's text.
class SynthesizerDelegate {
public:
  virtual ~SynthesizerDelegate() = default;
  virtual void didStart(const std::shared_ptr<SpeechUtterance>& utterance) = 0;
  virtual void willSpeakRange(const std::shared_ptr<SpeechUtterance>& utterance, int64_t location,
                              int64_t length) = 0;
  virtual void didPause(const std::shared_ptr<SpeechUtterance>& utterance) = 0;
  virtual void didContinue(const std::shared_ptr<SpeechUtterance>& utterance) = 0;
  virtual void didFinish(const std::shared_ptr<SpeechUtterance>& utterance) = 0;
  virtual void didCancel(const std::shared_ptr<SpeechUtterance>& utterance) = 0;
};

// A speech synthesizer: speaks aloud one utterance after another, or renders one to buffers.
class SpeechSynthesizer {
public:
  virtual ~SpeechSynthesizer() = default;
  // Held weakly.
  virtual void setDelegate(std::weak_ptr<SynthesizerDelegate> delegate) = 0;
  virtual void speak(std::shared_ptr<SpeechUtterance> utterance) = 0;
  // Each answers whether the synthesizer took the request.
  virtual bool stopSpeaking(SpeechBoundary boundary) = 0;
  virtual bool pauseSpeaking(SpeechBoundary boundary) = 0;
  virtual bool continueSpeaking() = 0;
  // Renders instead of playing: `onBuffer` gets the audio block by block, from any thread, and
  // a block of zero frames at the end; a null block is audio the synthesizer could not give as
  // PCM. It answers whether to go on: false ends the render there. A synthesizer that fails
  // part way calls `onFailure` instead of giving the end.
  using RenderBuffer = std::function<bool(const PcmBuffer* buffer)>;
  using RenderFailure = std::function<void(const PlatformError& error)>;
  virtual void write(std::shared_ptr<SpeechUtterance> utterance, RenderBuffer onBuffer,
                     RenderFailure onFailure) = 0;
};

class SynthesizerService {
public:
  virtual ~SynthesizerService() = default;
  // In the platform's order.
  virtual std::vector<VoiceInfo> voices() = 0;
  virtual std::optional<VoiceInfo> voiceWithIdentifier(const std::string& identifier) = 0;
  // The platform's voice for a language; its default voice when no language is given.
  virtual std::optional<VoiceInfo>
  voiceWithLanguage(const std::optional<std::string>& language) = 0;
  // The user's language, e.g. "en-US".
  virtual std::string currentLanguageCode() = 0;
  virtual std::shared_ptr<SpeechSynthesizer> makeSynthesizer() = 0;
};

} // namespace quelt
