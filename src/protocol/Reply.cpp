#include "protocol/OpHost.h"

#include <atomic>
#include <stdexcept>

namespace quelt {

struct Reply::State {
  State(Send send, std::function<void()> onSecondAnswer)
      : send(std::move(send)), onSecondAnswer(std::move(onSecondAnswer)) {}

  Send send;
  std::function<void()> onSecondAnswer;
  std::atomic<bool> answered = false;
};

Reply::Reply(Send send, std::function<void()> onSecondAnswer)
    : state_(std::make_shared<State>(std::move(send), std::move(onSecondAnswer))) {}

void Reply::operator()(OpResult result) const {
  if (answerIfFirst(std::move(result)))
    return;
  if (state_ && state_->onSecondAnswer)
    state_->onSecondAnswer();
  else
    throw std::logic_error("a request was answered twice");
}

bool Reply::answerIfFirst(OpResult result) const {
  if (!state_ || state_->answered.exchange(true))
    return false;
  if (state_->send)
    state_->send(std::move(result));
  return true;
}

bool Reply::answered() const { return state_ && state_->answered; }

} // namespace quelt
