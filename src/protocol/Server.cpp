#include "protocol/Server.h"

#include "protocol/Identity.h"
#include "protocol/JsonLine.h"
#include "protocol/SerialWriter.h"
#include "protocol/StdinReader.h"

#include <asio/post.hpp>

#include <system_error>
#include <thread>

namespace quelt {

std::shared_ptr<Server> Server::create(ServerOptions options) {
  auto server = std::shared_ptr<Server>(new Server(std::move(options)));
  server->self_ = server;
  return server;
}

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      mainContext_(options_.mainContext ? options_.mainContext
                                        : std::make_shared<asio::io_context>(1)),
      keepAlive_(asio::make_work_guard(*mainContext_)),
      clock_(options_.clock ? options_.clock : std::make_shared<SteadyClock>(*mainContext_)),
      writeQueue_(std::make_unique<SerialWriter>(options_.outputFd, options_.errorFd,
                                                 options_.name + ".write")) {}

Server::~Server() {
  // Threads that post to the main queue go first; the writer drains what is left on its way out.
  writeQueue_->onBacklog(nullptr);
  reader_.reset();
  parentWatch_.reset();
  std::unique_ptr<asio::thread_pool> tasks;
  {
    std::lock_guard lock(tasksMutex_);
    tasks = std::move(tasks_);
  }
  if (tasks) {
    tasks->stop();
    if (tasks->get_executor().running_in_this_thread()) {
      // The last reference went with a task, on one of the pool's own threads, which cannot
      // join itself: a thread of its own ends the pool once that task has returned.
      std::thread([pool = std::move(tasks)] { pool->join(); }).detach();
    } else {
      tasks->join();
    }
  }
  writeQueue_.reset();
}

void Server::registerOp(OpName op, Handler handler) { handlers_[op.string()] = std::move(handler); }

void Server::onShutdown(std::function<void()> hook) { shutdownHooks_.push_back(std::move(hook)); }

void Server::send(const Json& message) {
  // Serialised on the caller's thread so one slow message never holds up the writer.
  auto line = serializeMessage(message);
  if (!line) {
    log("dropping unserializable message");
    return;
  }
  writeQueue_->writeOutput(std::move(*line));
}

void Server::event(EventName name, Json payload) {
  if (!payload.is_object())
    payload = Json::object();
  payload[keys::event] = name.text;
  send(payload);
}

void Server::drainOutput() { writeQueue_->drain(); }

void Server::log(std::string_view text) { writeQueue_->writeError(std::string(text)); }

void Server::post(std::function<void()> block) { asio::post(*mainContext_, std::move(block)); }

PostToMain Server::poster() {
  return [context = mainContext_](std::function<void()> block) {
    asio::post(*context, std::move(block));
  };
}

void Server::runTask(std::function<void()> work) {
  if (options_.taskExecutor) {
    options_.taskExecutor(std::move(work));
    return;
  }
  asio::thread_pool* pool;
  {
    // Made on first use: starting its threads is a good part of the helper's start-up, and
    // many sessions never need them.
    std::lock_guard lock(tasksMutex_);
    if (!tasks_)
      tasks_ = std::make_unique<asio::thread_pool>(4);
    pool = tasks_.get();
  }
  asio::post(*pool, std::move(work));
}

void Server::runBlockingTask(std::function<void()> work) {
  if (!options_.taskExecutor) {
    try {
      std::thread(work).detach();
      return;
    } catch (const std::system_error&) {
      // No thread to spare: the pool's will have to do.
    }
  }
  runTask(std::move(work));
}

void Server::completeOnMain(Reply done, OpResult result) {
  post([done = std::move(done), result = std::move(result)] { done(result); });
}

void Server::run() {
  watchParent();
  startReader();
  while (!ended_) {
    try {
      mainContext_->run();
      break;
    } catch (const std::exception& error) {
      // A fault in one block must not take the helper down; the next block is served.
      log(std::string("internal error: ") + error.what());
    }
  }
  // The loop never runs out of work, so this is reached only after an injected exit returned.
  if (!ended_) {
    shutdown(0);
    end(0);
  }
}

void Server::watchParent() {
  if (!options_.watchParent)
    return;
  parentWatch_ = options_.watchParent([weak = self_, context = mainContext_] {
    asio::post(*context, [weak] {
      if (auto server = weak.lock())
        server->shutdown(0);
    });
  });
}

void Server::startReader() {
  if (ended_)
    return;
  std::weak_ptr<Server> weak = self_;
  auto context = mainContext_;
  reader_ = std::make_unique<StdinReader>(
      options_.inputFd,
      [weak, context](std::string line) {
        asio::post(*context, [weak, line = std::move(line)] {
          if (auto server = weak.lock()) {
            server->reader_->lineHandled();
            server->handle(line);
          }
        });
      },
      [weak, context] {
        asio::post(*context, [weak] {
          if (auto server = weak.lock())
            server->shutdown(0);
        });
      });
  // Output the parent leaves unread must not pile up: no new requests until it has read.
  writeQueue_->onBacklog([reader = reader_.get()](bool over) { reader->holdBack(over); });
  reader_->start();
}

void Server::shutdown(int exitCode) {
  if (shuttingDown_)
    return;
  shuttingDown_ = true;
  for (auto& hook : shutdownHooks_) {
    try {
      hook();
    } catch (const std::exception& error) {
      log(std::string("shutdown hook failed: ") + error.what());
    }
  }
  // The writer is first-in first-out: once this returns, every line queued so far is out.
  writeQueue_->drain();
  end(exitCode);
}

void Server::end(int exitCode) {
  ended_ = true;
  if (options_.exitProcess)
    options_.exitProcess(exitCode);
  mainContext_->stop();
}

void Server::handle(const std::string& line) {
  if (line.size() > maxLineBytes) {
    event(events::protocolError,
          {{"message", "request line exceeds " + std::to_string(maxLineBytes) + " bytes"}});
    return;
  }
  Json request = parseJsonLine(line);
  if (!request.is_object()) {
    event(events::protocolError, {{"message", "request is not a JSON object"}});
    return;
  }
  auto idValue = request.find("id");
  auto id = idValue == request.end() ? std::nullopt : integerValue(*idValue);
  if (!id) {
    event(events::protocolError, {{"message", "request has no integer id"}});
    return;
  }
  auto opValue = request.find("op");
  if (opValue == request.end() || !opValue->is_string()) {
    reply(*id, HelperError::invalid("request has no op"));
    return;
  }
  const std::string op = opValue->get<std::string>();
  auto paramsValue = request.find("params");
  Params params(paramsValue == request.end() ? Json::object() : std::move(*paramsValue));
  auto handler = handlers_.find(op);
  if (handler == handlers_.end()) {
    reply(*id, HelperError::invalid("unknown op " + op));
    return;
  }
  Reply done = replyFor(*id);
  try {
    handler->second(params, done);
  } catch (...) {
    done(failureOf(std::current_exception(), op, options_.describeFailure));
  }
}

Reply Server::replyFor(int64_t id) {
  std::weak_ptr<Server> weak = self_;
  auto send = [weak, id, context = mainContext_](OpResult result) {
    // Always through the main queue, even when called from the handler itself.
    asio::post(*context, [weak, id, result = std::move(result)]() mutable {
      if (auto server = weak.lock())
        server->reply(id, std::move(result));
    });
  };
  auto secondAnswer = [weak, id] {
    if (auto server = weak.lock())
      server->log("internal error: request " + std::to_string(id) + " was answered twice");
  };
  return Reply(std::move(send), std::move(secondAnswer));
}

void Server::reply(int64_t id, OpResult result) {
  if (auto* object = std::get_if<Json>(&result)) {
    send({{"id", id}, {"ok", true}, {"result", std::move(*object)}});
    return;
  }
  send({{"id", id}, {"ok", false}, {"error", std::get<HelperError>(result).json()}});
}

} // namespace quelt
