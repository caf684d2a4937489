#include "ServerHarness.h"

#include "app/Startup.h"

#include <asio/post.hpp>
#include <cerrno>
#include <stdexcept>
#include <unistd.h>

namespace quelt::testing {

ServerHarness::ServerHarness(Ops ops) : exitCode_(exited_.get_future()) {
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
  return outputLines_.next(output_.readEnd, timeout);
}

std::optional<Json> ServerHarness::next(std::chrono::milliseconds timeout) {
  auto line = nextRaw(timeout);
  if (!line)
    return std::nullopt;
  return Json::parse(*line);
}

std::optional<std::string> ServerHarness::nextLogLine(std::chrono::milliseconds timeout) {
  return errorLines_.next(error_.readEnd, timeout);
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
