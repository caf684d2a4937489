#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/utsname.h>

namespace quelt::testing {
namespace {

TEST(HelperProcess, AnswersHelloAndShutdownThenExitsWithZero) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"hello"})");
  auto hello = helper.next();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["result"]["pid"], helper.pid());
  EXPECT_EQ((*hello)["result"]["speech_analyzer"], false);
  utsname names{};
  ::uname(&names);
  EXPECT_EQ(
      std::string(names.release).rfind((*hello)["result"]["os_version"].get<std::string>(), 0), 0u)
      << names.release;
  helper.send(R"({"id":2,"op":"shutdown"})");
  EXPECT_EQ(helper.next(), (Json{{"id", 2}, {"ok", true}, {"result", Json::object()}}));
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

bool mapsEngineModule(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::stringstream text;
  text << maps.rdbuf();
  return text.str().find("quelt-voice-helper-engines.so") != std::string::npos;
}

TEST(HelperProcess, LoadsTheEnginesOnlyWhenAskedForWhatTheyBack) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"hello"})");
  ASSERT_TRUE(helper.next());
  EXPECT_FALSE(mapsEngineModule(helper.pid()));
  helper.send(R"({"id":2,"op":"voices.list"})");
  auto voices = helper.next();
  ASSERT_TRUE(voices);
  EXPECT_FALSE((*voices)["result"]["voices"].empty());
  EXPECT_TRUE(mapsEngineModule(helper.pid()));
}

TEST(HelperProcess, WithoutItsEngineModuleItSaysSoAndServesWhatItCan) {
  ::setenv("QUELT_VOICE_ENGINES", "/nonexistent/engines.so", 1);
  HelperProcess helper;
  ::unsetenv("QUELT_VOICE_ENGINES");
  helper.send(R"({"id":1,"op":"voices.list"})");
  EXPECT_EQ(helper.next(),
            (Json{{"id", 1}, {"ok", true}, {"result", {{"voices", Json::array()}}}}));
  helper.send(
      R"({"id":2,"op":"speech.synthesize_file","params":{"text":"hi","path":"/tmp/x.wav"}})");
  auto render = helper.next();
  ASSERT_TRUE(render);
  EXPECT_EQ((*render)["ok"], false);
  helper.send(R"({"id":3,"op":"hello"})");
  EXPECT_TRUE(helper.next());
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
  EXPECT_NE(helper.allErrorOutput().find("engines unavailable"), std::string::npos);
}

TEST(HelperProcess, TerminationSignalsExitWithZero) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    HelperProcess helper;
    helper.send(R"({"id":1,"op":"hello"})");
    ASSERT_TRUE(helper.next());
    ::kill(helper.pid(), signal);
    EXPECT_TRUE(exitedWithZero(helper.waitStatus())) << strsignal(signal);
  }
}

TEST(HelperProcess, AClosedStandardOutputDoesNotKillIt) {
  HelperProcess helper;
  helper.closeOutput();
  helper.send(R"({"id":1,"op":"hello"})");
  helper.send(R"({"id":2,"op":"hello"})");
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

// In kB, as /proc reports it; "VmHWM" is the peak resident size so far.
size_t statusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0)
      return std::stoul(line.substr(field.size() + 1));
  return 0;
}

// The helper's resident size once it has answered a first request: where growth counts from.
size_t residentOnceServing(HelperProcess& helper) {
  helper.send(R"({"id":0,"op":"hello"})");
  EXPECT_TRUE(helper.next());
  return statusKilobytes(helper.pid(), "VmRSS");
}

// A write to a helper that is gone fails with EPIPE on this thread instead of ending the tests.
void blockBrokenPipeSignal() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

constexpr size_t generousGrowthKilobytes = 64 * 1024;

// Peak memory growth of the helper since `before`. The sanitizers' shadow memory (and
// AddressSanitizer's quarantine of freed blocks) grow with what the helper touches, so under
// them the figure says nothing about the helper: there only the behaviour is checked.
void expectBoundedGrowth(pid_t helper, size_t before) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)helper;
  (void)before;
#else
  EXPECT_LT(statusKilobytes(helper, "VmHWM") - before, generousGrowthKilobytes);
#endif
}

TEST(HelperProcess, DropsAnOverlongLineAsItStreamsInAndServesTheNext) {
  HelperProcess helper;
  size_t before = residentOnceServing(helper);
  std::thread writer([&] {
    blockBrokenPipeSignal();
    std::string chunk(1 << 20, '{');
    for (int i = 0; i < 256; ++i)
      helper.write(chunk);
    helper.write("\r\n");
    helper.send(R"({"id":1,"op":"hello"})");
  });
  EXPECT_EQ(helper.next(),
            (Json{{"event", "protocol_error"}, {"message", "request line exceeds 1048576 bytes"}}));
  auto hello = helper.next();
  writer.join();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["id"], 1);
  expectBoundedGrowth(helper.pid(), before);
}

// Lines at the limit, sent faster than they are parsed: the reader waits by their size, not
// only by their number.
TEST(HelperProcess, LongLinesWaitingToBeHandledStayWithinABudget) {
  HelperProcess helper;
  size_t before = residentOnceServing(helper);
  constexpr int lines = 200;
  std::thread writer([&] {
    blockBrokenPipeSignal();
    std::string padding((1 << 20) - 64, 'x');
    for (int id = 1; id <= lines; ++id)
      helper.send(R"({"id":)" + std::to_string(id) + R"(,"op":"hello","params":{"pad":")" +
                  padding + R"("}})");
  });
  int answered = 0;
  while (answered < lines && helper.next(std::chrono::seconds(30)))
    ++answered;
  writer.join();
  EXPECT_EQ(answered, lines);
  expectBoundedGrowth(helper.pid(), before);
}

// A parent that stops reading while it goes on sending: the helper stops taking requests
// rather than holding their replies, and answers every one once it is read again.
TEST(HelperProcess, UnreadOutputHoldsBackRequestsWithoutLosingAReply) {
  HelperProcess helper;
  size_t before = residentOnceServing(helper);
  constexpr int requests = 600000; // some 90 MB of replies
  std::atomic<size_t> sentBytes = 0;
  std::atomic<bool> allSent = false;
  std::thread pump([&] {
    blockBrokenPipeSignal();
    std::string batch;
    for (int id = 1; id <= requests; ++id) {
      batch += R"({"id":)" + std::to_string(id) + R"(,"op":"hello"})" + "\n";
      if (batch.size() < 65536 && id < requests)
        continue;
      helper.write(batch);
      sentBytes += batch.size();
      batch.clear();
    }
    allSent = true;
  });
  // Nothing is read until the pump is through or has stood still for a while.
  size_t seen = 0;
  auto still = std::chrono::steady_clock::now();
  while (!allSent && std::chrono::steady_clock::now() - still < 2s) {
    std::this_thread::sleep_for(50ms);
    if (sentBytes != seen) {
      seen = sentBytes;
      still = std::chrono::steady_clock::now();
    }
  }
  std::vector<bool> answered(requests + 1);
  int replies = 0;
  while (replies < requests) {
    auto line = helper.nextLine();
    if (!line)
      break;
    auto id = line->find(R"("id":)");
    if (id == std::string::npos || line->find(R"("ok":true)") == std::string::npos)
      continue;
    long value = std::strtol(line->c_str() + id + 5, nullptr, 10);
    if (value > 0 && value <= requests && !answered[value]) {
      answered[value] = true;
      ++replies;
    }
  }
  if (replies < requests)
    helper.closeOutput(); // so that a pump still waiting gets an error and ends
  pump.join();
  EXPECT_EQ(replies, requests);
  expectBoundedGrowth(helper.pid(), before);
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

TEST(HelperProcess, DiscoversPermissionsAndRecognitionLocalesOnLinux) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"authorization.status"})");
  EXPECT_EQ(helper.next(),
            (Json{{"id", 1},
                  {"ok", true},
                  {"result", {{"microphone", "authorized"}, {"speech", "authorized"}}}}));
  helper.send(R"({"id":2,"op":"locales.list"})");
  EXPECT_EQ(helper.nextLine(), R"({"id":2,"ok":true,"result":{"locales":[{"identifier":"en-US",)"
                               R"("on_device":"installed","recognizer_available":true,)"
                               R"("recognizer_on_device":true,"recognizer_supported":true}]}})");
  helper.send(R"({"id":3,"op":"locales.install","params":{"locale":"en-us"}})");
  auto install = helper.next();
  ASSERT_TRUE(install);
  EXPECT_EQ((*install)["error"]["code"], "asset_install_failed");
  EXPECT_EQ((*install)["error"]["locale"], "en-US");
  helper.send(R"({"id":4,"op":"shutdown"})");
  EXPECT_EQ(helper.next()->at("id"), 4);
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
}

// In a fresh pid namespace the helper is process 1 with parent id 0: nobody to serve.
TEST(HelperProcess, StartingWithoutALiveParentExitsAtOnceWithZero) {
  HelperProcess helper({"unshare", "--pid", "--fork", QUELT_HELPER_PATH});
  auto status = helper.waitStatus();
  ASSERT_TRUE(status);
  std::string errors = helper.allErrorOutput();
  if (errors.find("unshare") != std::string::npos)
    GTEST_SKIP() << "no pid namespaces here: " << errors;
  EXPECT_TRUE(exitedWithZero(status)) << errors;
  EXPECT_EQ(helper.nextLine(100ms), std::nullopt);
}

} // namespace
} // namespace quelt::testing
