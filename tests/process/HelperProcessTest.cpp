#include "HelperProcess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
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
  EXPECT_EQ(helper.next(), (Json{{"id", 1}, {"ok", true}, {"result", {{"voices", Json::array()}}}}));
  helper.send(R"({"id":2,"op":"speech.synthesize_file","params":{"text":"hi","path":"/tmp/x.wav"}})");
  auto render = helper.next();
  ASSERT_TRUE(render);
  EXPECT_EQ((*render)["ok"], false);
  helper.send(R"({"id":3,"op":"hello"})");
  EXPECT_TRUE(helper.next());
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
  EXPECT_NE(helper.allErrorOutput().find("engines unavailable"), std::string::npos);
}

TEST(HelperProcess, EndOfInputExitsWithZero) {
  HelperProcess helper;
  helper.send(R"({"id":1,"op":"hello"})");
  ASSERT_TRUE(helper.next());
  helper.closeInput();
  EXPECT_TRUE(exitedWithZero(helper.waitStatus()));
  EXPECT_EQ(helper.allErrorOutput(), "");
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

TEST(HelperProcess, RefusesAnOverlongLineAndServesTheNext) {
  HelperProcess helper;
  std::thread writer([&] {
    helper.write(std::string(3 * 1048576, '{') + "\r\n");
    helper.send(R"({"id":1,"op":"hello"})");
  });
  EXPECT_EQ(helper.next(),
            (Json{{"event", "protocol_error"}, {"message", "request line exceeds 1048576 bytes"}}));
  auto hello = helper.next();
  writer.join();
  ASSERT_TRUE(hello);
  EXPECT_EQ((*hello)["id"], 1);
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

// The helper's parent is a middle process that the test kills; the test adopts the orphan so
// it can read its exit status.
TEST(HelperProcess, KillingTheParentEndsItWhileItsInputStaysOpen) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  Pipe in, out, err, report;
  pid_t middle = ::fork();
  if (middle == 0) {
    pid_t helper = HelperProcess::spawn({QUELT_HELPER_PATH}, in, out, err);
    (void)!::write(report.writeEnd, &helper, sizeof helper);
    for (;;)
      ::pause();
  }
  pid_t helper = -1;
  ASSERT_EQ(::read(report.readEnd, &helper, sizeof helper), static_cast<ssize_t>(sizeof helper));
  std::string hello = R"({"id":1,"op":"hello"})"
                      "\n";
  ASSERT_EQ(::write(in.writeEnd, hello.data(), hello.size()), static_cast<ssize_t>(hello.size()));
  pollfd ready = {out.readEnd, POLLIN, 0};
  ASSERT_EQ(::poll(&ready, 1, 10000), 1);

  ::kill(middle, SIGKILL);
  ::waitpid(middle, nullptr, 0);
  auto status = HelperProcess::waitFor(helper, 10s);
  if (helper > 0) {
    ::kill(helper, SIGKILL);
    ::waitpid(helper, nullptr, 0);
  }
  EXPECT_TRUE(exitedWithZero(status));
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
