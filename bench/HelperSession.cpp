#include "HelperSession.h"

#include <stdexcept>

namespace quelt::bench {

using namespace std::chrono_literals;

HelperSession::HelperSession(const std::string& helperPath,
                             const std::vector<std::string>& environment)
    : process_(std::make_unique<ChildProcess>(std::vector<std::string>{helperPath}, environment)) {}

int64_t HelperSession::send(const std::string& op, const Json& params, Clock::time_point* sentAt) {
  int64_t id = nextId_++;
  std::string line = Json{{"id", id}, {"op", op}, {"params", params}}.dump();
  if (sentAt)
    *sentAt = Clock::now();
  process_->send(line);
  return id;
}

Message HelperSession::next(Clock::duration timeout) {
  auto line = process_->nextLine(timeout);
  if (!line)
    throw std::runtime_error("the helper went quiet");
  return {Json::parse(line->text), line->at};
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
  process_->waitExit(10s);
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
