#pragma once

#include "protocol/OpHost.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>

#include <mutex>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quelt {

class SerialWriter;
class StdinReader;

struct ServerOptions {
  int inputFd = 0;
  int outputFd = 1;
  int errorFd = 2;
  // How the process ends once the shutdown sequence has drained the writer. The binary leaves
  // with _exit; in-process tests stop the main loop instead.
  std::function<void(int exitCode)> exitProcess;
  // The main queue. Made here when not given.
  std::shared_ptr<asio::io_context> mainContext;
  // Real time on the main queue when not given.
  std::shared_ptr<Clock> clock;
  // Where tasks run; a small pool of the server's own when not given. The fuzzer runs each
  // task when its input says, so one input always replays the same interleaving.
  std::function<void(std::function<void()>)> taskExecutor;
  // Starts watching the parent process when the server runs, and returns what keeps the watch
  // going: `gone` is called, from any thread, once the parent has ended. Not watched when empty.
  std::function<std::shared_ptr<void>(std::function<void()> gone)> watchParent;
  // What a handler raised, other than a HelperError, as the error its request is answered with.
  DescribeFailure describeFailure;
  // Names the writer's thread.
  std::string name = "quelt";
};

// Owns the protocol: the op registry, the reader of request lines, the dispatch of each line on
// the main queue, and the one serial writer every reply, event and log line goes through.
class Server : public OpHost {
public:
  static std::shared_ptr<Server> create(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void registerOp(OpName op, Handler handler) override;
  void onShutdown(std::function<void()> hook) override;
  using OpHost::event;
  void event(EventName name, Json payload) override;
  void log(std::string_view text) override;
  void post(std::function<void()> block) override;
  PostToMain poster() override;
  // On the task executor when one is set.
  void runTask(std::function<void()> work) override;
  void runBlockingTask(std::function<void()> work) override;
  void completeOnMain(Reply done, OpResult result) override;
  void shutdown(int exitCode) override;
  bool shuttingDown() const override { return shuttingDown_; }
  std::shared_ptr<Clock> clock() override { return clock_; }

  // Callable from any thread.
  void send(const Json& message);
  // Returns once every line queued before the call has been written: for a test that reads the
  // output as it goes.
  void drainOutput();

  // Watches the parent, starts the reader and serves the main queue until the process ends.
  // Returns only when the injected exit did not end the process.
  void run();
  // Handles one request line. On the main queue.
  void handle(const std::string& line);

  asio::io_context& mainContext() { return *mainContext_; }

private:
  explicit Server(ServerOptions options);

  void watchParent();
  void startReader();
  Reply replyFor(int64_t id);
  void reply(int64_t id, OpResult result);
  void end(int exitCode);

  std::weak_ptr<Server> self_;
  ServerOptions options_;
  std::shared_ptr<asio::io_context> mainContext_;
  asio::executor_work_guard<asio::io_context::executor_type> keepAlive_;
  std::shared_ptr<Clock> clock_;
  std::unique_ptr<SerialWriter> writeQueue_;
  std::map<std::string, Handler, std::less<>> handlers_;
  bool shuttingDown_ = false;
  bool ended_ = false;
  std::shared_ptr<void> parentWatch_;
  std::vector<std::function<void()>> shutdownHooks_;
  std::unique_ptr<StdinReader> reader_;
  std::mutex tasksMutex_;
  std::unique_ptr<asio::thread_pool> tasks_;
};

} // namespace quelt
