#include "speech/FileRenderer.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <unistd.h>

namespace quelt {
namespace {

// Hidden, beside the path (a rename does not cross file systems), with the path's own extension
// last so that the writer picks the same container.
std::string temporaryBeside(const std::string& path) {
  static std::atomic<uint64_t> renders = 0;
  std::filesystem::path target(path);
  std::string tag = "-part-" + std::to_string(::getpid()) + "-" + std::to_string(++renders);
  return (target.parent_path() /
          ("." + target.filename().string() + tag + target.extension().string()))
      .string();
}

} // namespace

std::vector<std::shared_ptr<FileRenderer>>& FileRenderer::active() {
  static std::vector<std::shared_ptr<FileRenderer>> renders;
  return renders;
}

FileRenderer::FileRenderer(AudioServices& audio, std::string path, RenderEncoding encoding,
                           Reply reply, std::string voiceId)
    : audio_(audio), path_(std::move(path)), temporary_(temporaryBeside(path_)),
      encoding_(encoding), reply_(std::move(reply)), voiceId_(std::move(voiceId)) {}

void FileRenderer::start(OpHost& host, const SpeechServices& services, const SpeechParams& params,
                         std::string path, RenderEncoding encoding, Reply reply) {
  std::shared_ptr<FileRenderer> renderer(new FileRenderer(
      *services.audio, std::move(path), encoding, std::move(reply), params.voiceIdentifier()));
  renderer->synthesizer_ = services.synthesizer->makeSynthesizer();
  active().push_back(renderer);
  std::weak_ptr<FileRenderer> weak = renderer;
  PostToMain post = host.poster();
  auto flow = renderer->flow_;
  renderer->synthesizer_->write(
      params.makeUtterance(),
      [weak, post, flow](const PcmBuffer* buffer) {
        // A synthesizer faster than the disk waits here, so that what is on its way to the file
        // stays a few blocks whatever the text's length.
        {
          std::unique_lock lock(flow->mutex);
          flow->room.wait(lock, [&] { return flow->closed || flow->queued < Flow::maxQueued; });
          if (flow->closed)
            return false;
          ++flow->queued;
        }
        // The block is the synthesizer's until this returns: take a copy to the main queue.
        std::optional<PcmBuffer> copy;
        if (buffer)
          copy.emplace(*buffer);
        post([weak, flow, copy = std::move(copy)] {
          if (auto renderer = weak.lock())
            renderer->handle(copy ? &*copy : nullptr);
          std::lock_guard lock(flow->mutex);
          --flow->queued;
          flow->room.notify_all();
        });
        return true;
      },
      [weak, post](const PlatformError& error) {
        post([weak, error] {
          if (auto renderer = weak.lock())
            renderer->finish(HelperError(errors::native, error.description(),
                                         {.domain = error.domain(), .nativeCode = error.code()}));
        });
      });
}

std::string FileRenderer::fileNameOf(std::string path) {
  // "/tmp/out/" names "out", as the error a parent sees should.
  while (path.size() > 1 && path.back() == '/')
    path.pop_back();
  return std::filesystem::path(path).filename().string();
}

std::string FileRenderer::fileName() const { return fileNameOf(path_); }

void FileRenderer::handle(const PcmBuffer* buffer) {
  if (done_)
    return;
  if (!buffer) {
    finish(HelperError(errors::native, "synthesizer produced a non-PCM buffer",
                       {.domain = "AVFAudio"}));
    return;
  }
  if (buffer->frameLength() > 0) {
    write(*buffer);
    return;
  }
  if (frames_ == 0) {
    finish(HelperError::invalid("synthesizer produced no audio for this text"));
    return;
  }
  file_.reset(); // closes and flushes
  std::error_code error;
  std::filesystem::rename(temporary_, path_, error);
  if (error) {
    finish(HelperError(errors::io, "create " + fileName() + ": " + error.message(),
                       {.domain = path_, .nativeCode = error.value()}));
    return;
  }
  temporary_.clear(); // it is the path's file now
  auto size = std::filesystem::file_size(path_, error);
  finish(
      Json{{"path", path_},
           {"bytes", error ? 0 : static_cast<int64_t>(size)},
           {"frames", frames_},
           {"sample_rate", sampleRate_},
           {"channels", channels_},
           {"duration_seconds", sampleRate_ > 0 ? static_cast<double>(frames_) / sampleRate_ : 0.0},
           {"voice", voiceId_}});
}

void FileRenderer::write(const PcmBuffer& buffer) {
  const AudioFormat& format = buffer.format();
  if (!file_) {
    sampleRate_ = format.sampleRate;
    channels_ = format.channels;
    AudioFormat encoding = format;
    if (encoding_ == RenderEncoding::int16)
      encoding = {format.sampleRate, format.channels, SampleFormat::int16, true};
    try {
      file_ = audio_.openForWriting(temporary_, encoding, format);
    } catch (const PlatformError& error) {
      finish(HelperError(errors::io, "create " + fileName() + ": " + error.description(),
                         {.domain = path_, .nativeCode = error.code()}));
      return;
    }
  }
  try {
    file_->write(buffer);
  } catch (const PlatformError& error) {
    finish(HelperError(errors::io, "write " + fileName() + ": " + error.description(),
                       {.domain = path_, .nativeCode = error.code()}));
    return;
  }
  frames_ += buffer.frameLength();
}

void FileRenderer::close() {
  done_ = true;
  std::lock_guard lock(flow_->mutex);
  flow_->closed = true;
  flow_->room.notify_all();
}

void FileRenderer::finish(OpResult result) {
  if (done_)
    return;
  close();
  file_.reset();
  discardTemporary();
  reply_(std::move(result));
  auto self = shared_from_this(); // outlive our own removal
  auto& renders = active();
  renders.erase(std::remove(renders.begin(), renders.end(), self), renders.end());
}

void FileRenderer::abandon() {
  if (done_)
    return;
  close();
  file_.reset();
  discardTemporary();
  auto self = shared_from_this();
  auto& renders = active();
  renders.erase(std::remove(renders.begin(), renders.end(), self), renders.end());
}

void FileRenderer::discardTemporary() {
  if (temporary_.empty())
    return;
  std::error_code ignored; // nothing written yet, most often
  std::filesystem::remove(temporary_, ignored);
}

} // namespace quelt
