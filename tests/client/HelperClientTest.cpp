// The client library against the built helper, and against scripted stand-ins for helpers that
// misbehave in ways the real one does not.

#include "quelt/client/Helper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace quelt::client {
namespace {

using namespace std::chrono_literals;

// An executable shell script standing in for the helper.
class FakeHelper {
public:
  explicit FakeHelper(const std::string& script)
      : path_(std::filesystem::temp_directory_path() /
              ("quelt-fake-helper-" + std::to_string(::getpid()) + "-" + std::to_string(++count))) {
    std::ofstream(path_) << "#!/bin/sh\n" << script;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  ~FakeHelper() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

private:
  static inline int count = 0;
  std::filesystem::path path_;
};

const char* const greets =
    "read -r hello; echo '{\"id\":0,\"ok\":true,\"result\":{\"protocol\":1}}'\n";

TEST(HelperClient, CallsTheHelperAndReportsItsRefusalsTyped) {
  Helper helper(QUELT_HELPER_PATH);
  EXPECT_EQ(helper.greeting()["protocol"], protocolVersion);
  EXPECT_EQ(helper.greeting()["pid"], helper.pid());
  EXPECT_TRUE(helper.call(ops::voicesList)["voices"].is_array());
  try {
    helper.call(OpName{"voices.List"});
    ADD_FAILURE() << "an unknown op succeeded";
  } catch (const RequestFailed& failed) {
    EXPECT_EQ(failed.error().code, errors::invalidRequest.text);
    EXPECT_STREQ(failed.what(), "invalid_request: unknown op voices.List");
  }
  EXPECT_TRUE(helper.shutdown());
}

TEST(HelperClient, EventsBeforeAReplyWaitForNextAndEveryErrorFieldArrives) {
  FakeHelper fake(std::string("echo 'loading' >&2\n") + greets + R"(read -r first
echo '{"event":"speech.started","utterance":1}'
echo '{"id":1,"ok":false,"error":{"code":"io","message":"cannot open","domain":"/x.wav","native_code":2,"locale":"en-US","status":"denied"}}'
echo '{"event":"speech.finished","utterance":1}'
read -r end
)");
  Helper helper(fake.path());
  std::vector<std::string> log;
  helper.onLog([&](const std::string& line) { log.push_back(line); });
  try {
    helper.call(ops::speechSpeak, {{"text", "hi"}});
    ADD_FAILURE() << "the refusal was not thrown";
  } catch (const RequestFailed& failed) {
    const Error& error = failed.error();
    EXPECT_EQ(error.code, "io");
    EXPECT_EQ(error.message, "cannot open");
    EXPECT_EQ(error.domain, "/x.wav");
    EXPECT_EQ(error.nativeCode, 2);
    EXPECT_EQ(error.locale, "en-US");
    EXPECT_EQ(error.status, "denied");
  }
  for (const char* event : {"speech.started", "speech.finished"}) {
    Incoming in = helper.next(5s);
    ASSERT_EQ(in.kind, Incoming::Kind::message);
    EXPECT_EQ(in.message["event"], event);
  }
  // What the helper logged while it was greeted went to the handler set afterwards.
  helper.drainLog();
  EXPECT_EQ(log, std::vector<std::string>{"loading"});
}

TEST(HelperClient, AHelperOfAnotherProtocolIsRefusedNamingBothVersions) {
  FakeHelper fake("read -r hello; echo '{\"id\":0,\"ok\":true,\"result\":{\"protocol\":2}}'\n"
                  "read -r end\n");
  try {
    Helper helper(fake.path());
    ADD_FAILURE() << "a helper of protocol 2 was accepted";
  } catch (const VersionMismatch& mismatch) {
    EXPECT_EQ(mismatch.helperVersion(), 2);
    std::string what = mismatch.what();
    EXPECT_NE(what.find("speaks protocol 2"), std::string::npos) << what;
    EXPECT_NE(what.find("built for protocol 1"), std::string::npos) << what;
  }
  EXPECT_THROW(Helper("/nonexistent/quelt-voice-helper"), Failure);
}

// A helper that dies is a failure to report, not a SIGPIPE; one that ignores the end of its
// input is killed.
TEST(HelperClient, NoHelperOutlivesItsClient) {
  FakeHelper dies(std::string(greets) + "exit 0\n");
  Helper ended(dies.path());
  ASSERT_TRUE(ended.waitExit(5s));
  EXPECT_FALSE(ended.sendLine("{}"));
  EXPECT_THROW(ended.call(ops::hello), HelperEnded);

  FakeHelper stubborn(std::string(greets) + "exec sleep 60\n");
  pid_t pid;
  {
    Helper helper(stubborn.path());
    pid = helper.pid();
  }
  EXPECT_TRUE(::kill(pid, 0) != 0 && errno == ESRCH);
}

TEST(HelperClient, FindsTheHelperAsTheCommandLineToolDoes) {
  EXPECT_EQ(locateHelper("/given"), "/given");
  ::setenv("QUELT_VOICE_HELPER", "/from/environment", 1);
  EXPECT_EQ(locateHelper(), "/from/environment");
  ::unsetenv("QUELT_VOICE_HELPER");
  // None beside the test program: the one on PATH.
  EXPECT_EQ(locateHelper(), "quelt-voice-helper");
}

} // namespace
} // namespace quelt::client
