#include "PocketsphinxTask.h"

#include "ContextualBias.h"
#include "platform/PlatformError.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>

namespace quelt {
namespace {

const AudioFormat decoderFormat{16000, 1, SampleFormat::int16, true};

// Fillers and sentence marks are in the segment list but are no words of the text.
bool isWord(const char* word) {
  return word && *word && *word != '<' && *word != '[' && std::strcmp(word, "(NULL)") != 0;
}

} // namespace

PocketsphinxTask::PocketsphinxTask(std::shared_ptr<LoadedModel> model,
                                   std::shared_ptr<AudioServices> audio,
                                   std::shared_ptr<Pronouncer> pronouncer, const Request& request,
                                   Log log, RecognitionHandler handler)
    : model_(std::move(model)), audio_(std::move(audio)), pronouncer_(std::move(pronouncer)),
      language_(request.language), phrases_(phraseWords(request.contextualStrings)),
      sentences_(request.punctuation ? std::optional<Sentences>(std::in_place, phrases_, language_)
                                     : std::nullopt),
      mayWait_(request.audioMayWait), log_(std::move(log)), handler_(std::move(handler)) {}

void PocketsphinxTask::start() {
  if (!model_) {
    fail("the model could not be loaded");
    return;
  }
  std::thread([self = shared_from_this()] { self->run(); }).detach();
}

void PocketsphinxTask::append(const PcmBuffer& buffer) {
  std::lock_guard conversion(conversionMutex_);
  if (!convertible(buffer))
    return;
  if (!converter_->convert(buffer, *converted_) || converted_->frameLength() == 0)
    return;
  auto samples = converted_->int16Plane(0).first(converted_->frameLength());
  bool overflow = false;
  {
    std::unique_lock lock(mutex_);
    // Audio handed over before the end of the segment's audio was announced (the delivery
    // thread may have been held back here meanwhile) still belongs to it.
    ++appending_;
    if (mayWait_)
      room_.wait(lock, [this] { return done_ || cancelled_ || pending_.size() < heldBackSamples; });
    --appending_;
    if (done_ || cancelled_) {
      wake_.notify_one();
      return;
    }
    if (!mayWait_ && pending_.size() + samples.size() > liveSamples) {
      overflow = !std::exchange(overflowReported_, true);
    } else {
      pending_.insert(pending_.end(), samples.begin(), samples.end());
    }
  }
  wake_.notify_one();
  if (overflow && log_)
    log_("pocketsphinx: recognition fell " + std::to_string(liveSamples / 16000) +
         " s behind the live input; audio beyond that is dropped");
}

void PocketsphinxTask::endAudio() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  audioEnded_ = true;
  wake_.notify_one();
}

void PocketsphinxTask::cancel() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    std::vector<int16_t>().swap(pending_);
  }
  abandoned_ = true;
  wake_.notify_one();
  room_.notify_all();
  if (model_)
    model_->wake();
}

bool PocketsphinxTask::convertible(const PcmBuffer& buffer) {
  const AudioFormat& format = buffer.format();
  if (!converter_ || !(format == sourceFormat_)) {
    converter_ = audio_ ? audio_->makeConverter(format, decoderFormat) : nullptr;
    if (!converter_)
      return false;
    sourceFormat_ = format;
  }
  double frames = buffer.frameLength() * decoderFormat.sampleRate / format.sampleRate;
  auto needed = static_cast<uint32_t>(frames) + 256;
  if (!converted_ || converted_->frameCapacity() < needed)
    converted_.emplace(decoderFormat, needed);
  return true;
}

void PocketsphinxTask::stillWorking() {
  if (audioEnded_ && !abandoned_)
    handler_(std::nullopt, std::nullopt);
}

void PocketsphinxTask::run() {
  ps_decoder_t* decoder = model_->acquire(abandoned_, [this] { stillWorking(); });
  if (!decoder) {
    finishDelivery();
    if (!abandoned_)
      handler_(std::nullopt,
               PlatformError("pocketsphinx", -1, "no decoder could be made for the model"));
    return;
  }
  // A decoder turned towards this capture's phrases keeps their words: it serves no other.
  Bias bias = phrases_.empty()
                  ? Bias::unchanged
                  : biasDecoder(decoder, *model_, phrases_, pronouncer_.get(), language_, log_);
  auto giveBack = [&] {
    bias == Bias::unchanged ? model_->release(decoder) : model_->discard(decoder);
  };
  if (bias == Bias::broken || ps_start_utt(decoder) < 0) {
    giveBack();
    finishDelivery();
    handler_(std::nullopt, PlatformError("pocketsphinx", -1, "the decoder would not start"));
    return;
  }
  decode(decoder);
  giveBack();
}

void PocketsphinxTask::finishDelivery() {
  {
    std::lock_guard lock(mutex_);
    done_ = true;
    std::vector<int16_t>().swap(pending_);
  }
  room_.notify_all();
}

void PocketsphinxTask::decode(ps_decoder_t* decoder) {
  std::vector<int16_t> working;
  Hearing hearing;
  bool ended = false;
  bool cancelled = false;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock,
                 [&] { return cancelled_ || !pending_.empty() || (ended_ && appending_ == 0); });
      cancelled = cancelled_;
      if (!cancelled) {
        working.swap(pending_);
        ended = ended_ && working.empty() && appending_ == 0;
      }
    }
    room_.notify_all();
    if (cancelled || ended)
      break;
    bool spoke = false;
    for (size_t at = 0; at < working.size(); at += sliceSamples) {
      if (abandoned_) {
        cancelled = true;
        break;
      }
      std::span<const int16_t> slice(working.data() + at,
                                     std::min(sliceSamples, working.size() - at));
      auto said = feed(decoder, slice, hearing);
      if (!said) {
        finishDelivery();
        handler_(std::nullopt, PlatformError("pocketsphinx", -1, "the decoder would not go on"));
        return;
      }
      spoke = spoke || *said;
    }
    working.clear();
    if (cancelled)
      break;
    if (!spoke)
      stillWorking();
  }
  finishDelivery();
  if (cancelled) {
    ps_end_utt(decoder);
    return;
  }
  endUtterance(decoder, hearing.heard);
  hearing.heard.isFinal = true;
  handler_(std::move(hearing.heard), std::nullopt);
}

std::optional<bool> PocketsphinxTask::feed(ps_decoder_t* decoder, std::span<const int16_t> samples,
                                           Hearing& hearing) {
  // Digital silence (a file capture's closing half second, a muted input) holds no
  // speech: it ends the utterance at once rather than being searched through.
  size_t sound = soundLength(samples);
  bool silenced = samples.size() - sound >= digitalSilence;
  if (sound > 0 || !silenced)
    ps_process_raw(decoder, samples.data(), silenced ? sound : samples.size(), FALSE, FALSE);
  bool inSpeech = ps_get_in_speech(decoder);
  hearing.inUtterance = hearing.inUtterance || inSpeech;
  std::string text;
  if (!hearing.inUtterance || (inSpeech && !silenced)) {
    text = joined(hearing.heard.formattedString, written(ps_get_hyp(decoder, nullptr), false));
  } else {
    endUtterance(decoder, hearing.heard);
    hearing.inUtterance = false;
    text = hearing.heard.formattedString;
    if (ps_start_utt(decoder) < 0)
      return std::nullopt;
  }
  if (text.empty() || text == hearing.lastText)
    return false;
  hearing.lastText = text;
  handler_(RecognitionResult{text, {}, false}, std::nullopt);
  return true;
}

size_t PocketsphinxTask::soundLength(std::span<const int16_t> samples) {
  auto last = std::find_if(samples.rbegin(), samples.rend(), [](int16_t x) { return x != 0; });
  return static_cast<size_t>(samples.rend() - last);
}

std::string PocketsphinxTask::joined(const std::string& before, const std::string& next) {
  if (next.empty())
    return before;
  return before.empty() ? next : before + " " + next;
}

std::string PocketsphinxTask::written(const char* words, bool settled) const {
  if (!words)
    return {};
  return sentences_ ? sentences_->written(words, settled) : std::string(words);
}

void PocketsphinxTask::endUtterance(ps_decoder_t* decoder, RecognitionResult& heard) const {
  ps_end_utt(decoder);
  heard.formattedString =
      joined(heard.formattedString, written(ps_get_hyp(decoder, nullptr), true));
  logmath_t* logmath = ps_get_logmath(decoder);
  for (ps_seg_t* segment = ps_seg_iter(decoder); segment; segment = ps_seg_next(segment)) {
    if (!isWord(ps_seg_word(segment)))
      continue;
    int32 acoustic, language, backoff;
    int32 posterior = ps_seg_prob(segment, &acoustic, &language, &backoff);
    heard.segmentConfidences.push_back(static_cast<float>(logmath_exp(logmath, posterior)));
  }
}

void PocketsphinxTask::fail(const std::string& description) {
  finishDelivery();
  std::thread([handler = handler_, description] {
    handler(std::nullopt, PlatformError("pocketsphinx", -1, description));
  }).detach();
}

} // namespace quelt
