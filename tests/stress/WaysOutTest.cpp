// Every way the helper ends, taken while it is busy: captures listening, speech playing,
// renders under way. Each ends with status 0, writes everything it queued before it went,
// and leaves no process behind.

#include "stress/Traffic.h"

#include <cstdlib>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

enum class WayOut { shutdownRequest, endOfInput, parentExit, terminateSignal };

std::string name(WayOut way) {
  switch (way) {
  case WayOut::shutdownRequest:
    return "ShutdownRequest";
  case WayOut::endOfInput:
    return "EndOfInput";
  case WayOut::parentExit:
    return "ParentExit";
  case WayOut::terminateSignal:
    return "TerminateSignal";
  }
  return "";
}

// The helper as the child of a middle process (setsid, which waits for it) that the test can
// kill as "the parent"; the test, a subreaper, adopts the helper then and can wait for it.
class AdoptedHelper : public HelperProcess {
public:
  AdoptedHelper() : HelperProcess({"setsid", "--fork", "--wait", QUELT_HELPER_PATH}) {
    send(R"({"id":0,"op":"hello"})");
    if (auto hello = next())
      helper_ = (*hello)["result"]["pid"].get<pid_t>();
  }
  ~AdoptedHelper() { killParent(); }

  void killParent() {
    if (helper_ <= 0)
      return;
    child_.signal(SIGKILL);
    child_.wait();
    child_.adopt(helper_);
    helper_ = -1;
  }

private:
  pid_t helper_ = -1;
};

class WaysOut : public ::testing::TestWithParam<WayOut> {
protected:
  static void SetUpTestSuite() { ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  // An empty cache of its own, so the helper checks the recognition model in a second process
  // rather than remembering that an earlier run did.
  void SetUp() override {
    fs::create_directories(scratch);
    ::setenv("XDG_CACHE_HOME", (scratch / "cache").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(scratch); }

  HelperProcess& start() {
    if (GetParam() == WayOut::parentExit)
      return *(adopted = std::make_unique<AdoptedHelper>());
    return *(plain = std::make_unique<HelperProcess>());
  }

  void leave(HelperProcess& helper, Traffic& traffic) {
    switch (GetParam()) {
    case WayOut::shutdownRequest:
      traffic.send("shutdown");
      break;
    case WayOut::endOfInput:
      helper.closeInput();
      break;
    case WayOut::parentExit:
      static_cast<AdoptedHelper&>(helper).killParent();
      break;
    case WayOut::terminateSignal:
      ::kill(helper.pid(), SIGTERM);
      break;
    }
  }

  fs::path scratch = fs::temp_directory_path() / ("quelt-waysout-" + std::to_string(::getpid()));
  std::unique_ptr<HelperProcess> plain;
  std::unique_ptr<AdoptedHelper> adopted;
};

TEST_P(WaysOut, UnderLoadItExitsWithZeroAfterWritingWhatItQueued) {
  HelperProcess& helper = start();
  ASSERT_GT(helper.pid(), 0);
  Traffic traffic(helper);
  // A named pipe nobody writes to: its capture waits for good to open, and must neither hold
  // up the others nor keep the helper from going.
  fs::path fifo = scratch / "silent.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  constexpr int64_t stalled = 100;
  traffic.send("capture.start",
               {{"capture", stalled}, {"source", {{"kind", "file"}, {"path", fifo.string()}}}});
  // Its own request stream is no audio source.
  int64_t ownInput = traffic.send(
      "capture.start", {{"capture", 101}, {"source", {{"kind", "file"}, {"path", "/dev/stdin"}}}});
  constexpr int captures = 8;
  for (int64_t capture = 1; capture <= captures; ++capture)
    traffic.send("capture.start",
                 {{"capture", capture}, {"source", fileSource("sentences-16k-mono.wav", true)}});
  for (int64_t utterance = 1; utterance <= 4; ++utterance)
    traffic.send("speech.speak",
                 {{"utterance", utterance}, {"text", "A sentence that takes a while to say."}});
  for (int render = 0; render < 4; ++render)
    traffic.send("speech.synthesize_file",
                 {{"text", "A render under way while the helper goes."},
                  {"path", (scratch / ("render" + std::to_string(render) + ".wav")).string()}});

  // Busy: every capture listening and the queue speaking.
  auto busy = [&] {
    for (int64_t capture = 1; capture <= captures; ++capture)
      if (!traffic.captures().count(capture))
        return false;
    return traffic.utterances().count(1) > 0;
  };
  while (!busy() && traffic.pump()) {
  }
  ASSERT_TRUE(busy());

  // Requests that answer at once, right before the way out. Sent together with "shutdown",
  // their replies are queued ahead of the shutdown sequence, which drains them; the other ways
  // out promise nothing for a request still in flight, so there they are answered first.
  std::vector<int64_t> quick;
  for (int i = 0; i < 20; ++i)
    quick.push_back(traffic.send(i % 2 ? "hello" : "authorization.status"));
  if (GetParam() != WayOut::shutdownRequest)
    for (int64_t id : quick)
      while (!traffic.answered(id) && traffic.pump()) {
      }

  while (!traffic.answered(ownInput) && traffic.pump()) {
  }

  leave(helper, traffic);
  // Everything it wrote before it went, each line whole and JSON.
  std::optional<int> status;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       !status && std::chrono::steady_clock::now() < deadline;
       status = helper.waitStatus(std::chrono::milliseconds(1)))
    traffic.pump(std::chrono::milliseconds(50));
  while (traffic.pump(std::chrono::milliseconds(200))) {
  }
  EXPECT_TRUE(exitedWithZero(status));
  EXPECT_EQ(childrenLeftBehind(), std::vector<pid_t>{});

  for (int64_t id : quick)
    EXPECT_TRUE(traffic.answered(id)) << id;
  // The shutdown hooks cancelled every capture still running, and said so before the exit.
  for (int64_t capture = 1; capture <= captures; ++capture)
    Traffic::expectOneEnd(traffic.captures().at(capture), "capture " + std::to_string(capture));
  ASSERT_TRUE(traffic.answered(ownInput));
  EXPECT_EQ(traffic.reply(ownInput)["error"]["code"], "io");
  if (GetParam() == WayOut::shutdownRequest)
    Traffic::expectOneEnd(traffic.captures().at(stalled), "the capture of a silent pipe");
  traffic.expectReplies(Traffic::Replies::atMostOnce);
  EXPECT_EQ(helper.allErrorOutput().find("internal error"), std::string::npos);
}

// The recognizer's model is tried in a process of its own first; one under way when the
// helper goes must go too, not wait for good on a lock it inherited.
TEST_P(WaysOut, WhileTheModelLoadsNoProcessIsLeftBehind) {
  HelperProcess& helper = start();
  ASSERT_GT(helper.pid(), 0);
  Traffic traffic(helper);
  int64_t hello = traffic.send("hello");
  while (!traffic.answered(hello) && traffic.pump()) {
  }
  traffic.send("capture.start",
               {{"capture", 1}, {"source", fileSource("sentence-16k-mono.wav", false)}});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  leave(helper, traffic);
  EXPECT_TRUE(exitedWithZero(helper.waitStatus(std::chrono::seconds(20))));
  EXPECT_EQ(childrenLeftBehind(), std::vector<pid_t>{});
}

INSTANTIATE_TEST_SUITE_P(, WaysOut,
                         ::testing::Values(WayOut::shutdownRequest, WayOut::endOfInput,
                                           WayOut::parentExit, WayOut::terminateSignal),
                         [](const auto& info) { return name(info.param); });

} // namespace
} // namespace quelt::testing
