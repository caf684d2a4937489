#include "ServerHarness.h"

#include "app/Startup.h"

#include <asio/post.hpp>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace quelt::testing {

std::optional<std::string> PipeLineReader::next(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return std::nullopt;
    pollfd fd = {fd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
      continue;
    char chunk[65536];
    ssize_t count = ::read(fd_, chunk, sizeof chunk);
    if (count == 0)
      return std::nullopt;
    if (count > 0)
      buffer_.append(chunk, static_cast<size_t>(count));
  }
}

ServerHarness::ServerHarness(Ops ops)
    : outputLines_(output_.readEnd), errorLines_(error_.readEnd), exitCode_(exited_.get_future()) {
  auto context = std::make_shared<asio::io_context>(1);
  clock_ = std::make_shared<fakes::VirtualClock>(
      [context](std::function<void()> block) { asio::post(*context, std::move(block)); });
  ServerOptions options;
  options.inputFd = input_.readEnd;
  options.outputFd = output_.writeEnd;
  options.errorFd = error_.writeEnd;
  options.mainContext = context;
  options.clock = clock_;
  options.exitProcess = [this](int code) { exited_.set_value(code); };
  if (ops == Ops::helper)
    server_ = makeHelper(fakes_.platform(), std::move(options));
  else
    server_ = Server::create(helperServerOptions(fakes_.platform(), std::move(options)));
}

ServerHarness::~ServerHarness() {
  closeInput();
  if (mainThread_.joinable()) {
    if (exitCode_.wait_for(10s) != std::future_status::ready)
      server_->post([server = server_] { server->shutdown(0); });
    mainThread_.join();
  }
  server_.reset();
}

void ServerHarness::start() {
  mainThread_ = std::thread([server = server_] { server->run(); });
}

void ServerHarness::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(input_.writeEnd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR)
        continue;
      throw std::runtime_error("write to helper input failed");
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

void ServerHarness::closeInput() { input_.closeWrite(); }

std::optional<std::string> ServerHarness::nextRaw(std::chrono::milliseconds timeout) {
  return outputLines_.next(timeout);
}

std::optional<Json> ServerHarness::next(std::chrono::milliseconds timeout) {
  auto line = nextRaw(timeout);
  if (!line)
    return std::nullopt;
  return Json::parse(*line);
}

std::optional<std::string> ServerHarness::nextLogLine(std::chrono::milliseconds timeout) {
  return errorLines_.next(timeout);
}

Json ServerHarness::request(std::string_view line) {
  send(line);
  auto reply = next();
  if (!reply)
    throw std::runtime_error("no answer to " + std::string(line));
  return *reply;
}

Json ServerHarness::replyTo(int64_t id) {
  while (auto line = next())
    if (line->contains("id") && (*line)["id"] == id)
      return *line;
  throw std::runtime_error("no reply to " + std::to_string(id));
}

void ServerHarness::onMain(std::function<void()> block) {
  std::promise<void> ran;
  server_->post([&] {
    block();
    ran.set_value();
  });
  ran.get_future().wait();
}

std::optional<int> ServerHarness::exitCode(std::chrono::milliseconds timeout) {
  if (exitCode_.wait_for(timeout) != std::future_status::ready)
    return std::nullopt;
  return exitCode_.get();
}

} // namespace quelt::testing
