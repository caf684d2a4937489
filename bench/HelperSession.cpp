#include "HelperSession.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace quelt::bench {

using namespace std::chrono_literals;

namespace {

std::vector<std::string> command(const std::string& helperPath,
                                 std::vector<std::string> environment) {
  if (!environment.empty())
    environment.insert(environment.begin(), "env");
  environment.push_back(helperPath);
  return environment;
}

} // namespace

HelperSession::HelperSession(const std::string& helperPath,
                             const std::vector<std::string>& environment)
    : startedAt_(Clock::now()),
      process_(command(helperPath, environment), {.error = ChildProcess::null}) {}

void HelperSession::sendLine(const std::string& line) {
  if (!process_.write(line + "\n"))
    throw std::runtime_error(std::string("write to the helper: ") + std::strerror(errno));
}

std::optional<std::string> HelperSession::nextLine(Clock::duration timeout) {
  return lines_.next(process_.output(), timeout);
}

int64_t HelperSession::send(const std::string& op, const Json& params, Clock::time_point* sentAt) {
  int64_t id = nextId_++;
  std::string line = Json{{"id", id}, {"op", op}, {"params", params}}.dump();
  if (sentAt)
    *sentAt = Clock::now();
  sendLine(line);
  return id;
}

Message HelperSession::next(Clock::duration timeout) {
  auto line = nextLine(timeout);
  if (!line)
    throw std::runtime_error("the helper went quiet");
  auto at = Clock::now();
  return {Json::parse(*line), at};
}

Message HelperSession::waitFor(const std::function<bool(const Json&)>& wanted,
                               Clock::duration timeout, std::vector<Message>* passed) {
  auto deadline = Clock::now() + timeout;
  for (;;) {
    Message message = next(deadline - Clock::now());
    if (wanted(message.json))
      return message;
    if (passed)
      passed->push_back(std::move(message));
  }
}

Message HelperSession::reply(int64_t id, Clock::duration timeout, std::vector<Message>* passed) {
  Message message = waitFor(
      [id](const Json& json) { return json.contains("id") && json["id"] == id; }, timeout, passed);
  if (!message.json.value("ok", false))
    throw std::runtime_error("the helper refused a request: " + message.json.dump());
  return message;
}

void HelperSession::shutdown() {
  reply(send("shutdown"), 10s);
  waitExit(10s);
}

void HelperSession::waitExit(Clock::duration timeout) {
  process_.closeInput();
  process_.waitFor(timeout);
  process_.reset();
}

Capture runCapture(HelperSession& helper, Json params, Clock::duration timeout) {
  static int64_t nextCapture = 1;
  int64_t id = nextCapture++;
  params["capture"] = id;
  Capture capture;
  int64_t request = helper.send("capture.start", params, &capture.sentAt);
  bool replied = false;
  bool stopped = false;
  auto deadline = Clock::now() + timeout;
  for (;;) {
    Message message = helper.next(deadline - Clock::now());
    const Json& json = message.json;
    if (json.contains("id") && json["id"] == request) {
      if (!json.value("ok", false))
        throw std::runtime_error("capture.start failed: " + json.dump());
      replied = true;
    }
    std::string event = json.value("event", "");
    if (event == "capture.failed")
      throw std::runtime_error("the capture failed: " + json.dump());
    if (event == "capture.final")
      capture.text += (capture.text.empty() ? "" : " ") + json.value("text", "");
    if (event == "capture.stopped") {
      capture.stoppedAt = message.at;
      capture.seconds = secondsBetween(capture.sentAt, message.at);
      stopped = true;
    }
    capture.messages.push_back(std::move(message));
    // The reply and "capture.stopped" may come in either order.
    if (stopped && replied)
      return capture;
  }
}

} // namespace quelt::bench
