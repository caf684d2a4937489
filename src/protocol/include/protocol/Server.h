#pragma once

#include "platform/Platform.h"
#include "protocol/Clock.h"
#include "protocol/HelperError.h"
#include "protocol/Json.h"
#include "protocol/MainQueue.h"
#include "protocol/Params.h"

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

// What a handler hands to its completion: a result object, or the error of a failed op.
using OpResult = std::variant<Json, HelperError>;
// Callable from any thread, any number of times: every call queues one reply on the main queue.
using Completion = std::function<void(OpResult)>;
using Handler = std::function<void(const Params& params, Completion done)>;

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
};

// Owns the protocol: the op registry, the reader of request lines, the dispatch of each line on
// the main queue, and the one serial writer every reply, event and log line goes through.
class Server : public std::enable_shared_from_this<Server> {
public:
  static std::shared_ptr<Server> create(Platform platform, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // A later registration under the same name replaces the earlier one. Before `run` only.
  void registerOp(std::string op, Handler handler);
  // Appends a hook for the shutdown sequence; hooks run in the order they were added.
  void onShutdown(std::function<void()> hook);

  // Callable from any thread.
  void send(const Json& message);
  void event(std::string_view name, Json payload = Json::object());
  void log(std::string_view text);
  void post(std::function<void()> block);
  // A poster that stays usable for as long as the main queue exists.
  PostToMain poster();
  // Runs `work` on the task executor, a small pool for steps that wait on the platform.
  void runTask(std::function<void()> work);
  // Runs `work` that may block without end (opening a named pipe waits for its writer) on a
  // thread of its own, so it never holds one of the pool's; on the task executor when one is
  // set.
  void runBlockingTask(std::function<void()> work);
  // Hands `result` to `done` from the main queue.
  void completeOnMain(Completion done, OpResult result);

  // Watches the parent, starts the reader and serves the main queue until the process ends.
  // Returns only when the injected exit did not end the process.
  void run();
  // The shutdown sequence; does nothing once one is under way. On the main queue.
  void shutdown(int exitCode);
  // Handles one request line. On the main queue.
  void handle(const std::string& line);

  const Platform& platform() const { return platform_; }
  Clock& clock() { return *clock_; }
  asio::io_context& mainContext() { return *mainContext_; }
  bool shuttingDown() const { return shuttingDown_; }

private:
  Server(Platform platform, ServerOptions options);

  void watchParent();
  void startReader();
  Completion completionFor(int64_t id);
  void reply(int64_t id, OpResult result);
  void end(int exitCode);

  Platform platform_;
  ServerOptions options_;
  std::shared_ptr<asio::io_context> mainContext_;
  asio::executor_work_guard<asio::io_context::executor_type> keepAlive_;
  std::shared_ptr<Clock> clock_;
  std::unique_ptr<SerialWriter> writeQueue_;
  std::map<std::string, Handler, std::less<>> handlers_;
  bool shuttingDown_ = false;
  bool ended_ = false;
  std::unique_ptr<ProcessWatch> parentSource_;
  std::vector<std::function<void()>> shutdownHooks_;
  std::unique_ptr<StdinReader> reader_;
  std::mutex tasksMutex_;
  std::unique_ptr<asio::thread_pool> tasks_;
};

// The op boundary for work that raised: a HelperError passes unchanged, anything else becomes a
// "native" error with the op's context phrase.
HelperError boundaryError(std::exception_ptr raised, const std::string& context);

} // namespace quelt
