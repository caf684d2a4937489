#include "ServerHarness.h"

#include <gtest/gtest.h>

namespace quelt::testing {
namespace {

class AuthorizationOps : public ::testing::Test {
protected:
  void SetUp() override { harness.start(); }
  fakes::FakeAuthorization& permissions() { return *harness.fakes().authorization; }

  ServerHarness harness;
};

TEST_F(AuthorizationOps, RawStatesMapByMeaningForEachPermission) {
  // Restricted and denied swap raw values between the two permissions; unknown values deny.
  struct Case {
    int64_t raw;
    const char* microphone;
    const char* speech;
  };
  for (auto [raw, microphone, speech] :
       {Case{0, "not_determined", "not_determined"}, Case{1, "restricted", "denied"},
        Case{2, "denied", "restricted"}, Case{3, "authorized", "authorized"},
        Case{7, "denied", "denied"}}) {
    permissions().microphone = raw;
    permissions().speech = raw;
    EXPECT_EQ(harness.request(R"({"id":1,"op":"authorization.status"})")["result"],
              (Json{{"microphone", microphone}, {"speech", speech}}))
        << raw;
  }
  EXPECT_EQ(permissions().prompts, 0);
}

TEST_F(AuthorizationOps, ADecidedPermissionIsAnsweredWithoutAPrompt) {
  permissions().speech = 2;
  EXPECT_EQ(harness.request(R"({"id":1,"op":"authorization.request","params":{"kind":"speech"}})"),
            (Json{{"id", 1}, {"ok", true}, {"result", {{"status", "restricted"}}}}));
  EXPECT_EQ(
      harness.request(
          R"({"id":2,"op":"authorization.request","params":{"kind":"microphone"}})")["result"],
      (Json{{"status", "authorized"}}));
  EXPECT_EQ(permissions().prompts, 0);
}

TEST_F(AuthorizationOps, AnUndecidedPermissionPromptsAndAnswersWithTheStatusReadAfterwards) {
  permissions().microphone = 0;
  harness.send(R"({"id":1,"op":"authorization.request","params":{"kind":"microphone"}})");
  // While the prompt is up, the status still reads as undecided.
  EXPECT_EQ(harness.request(R"({"id":2,"op":"authorization.status"})")["result"]["microphone"],
            "not_determined");
  EXPECT_EQ(permissions().prompts, 1);
  // The callback's flag claims a grant; the status read afterwards says otherwise and wins.
  permissions().answerMicrophone(2, true);
  EXPECT_EQ(harness.next(), (Json{{"id", 1}, {"ok", true}, {"result", {{"status", "denied"}}}}));

  permissions().speech = 0;
  harness.send(R"({"id":3,"op":"authorization.request","params":{"kind":"speech"}})");
  EXPECT_EQ(harness.request(R"({"id":4,"op":"authorization.status"})")["result"]["speech"],
            "not_determined");
  permissions().answerSpeech(3, 1);
  EXPECT_EQ(harness.next()->at("result"), (Json{{"status", "authorized"}}));
}

TEST_F(AuthorizationOps, KindMustBeExactlyMicrophoneOrSpeech) {
  for (const char* params :
       {R"({"kind":"Microphone"})", R"({"kind":"camera"})", R"({"kind":1})", R"({})"}) {
    auto reply = harness.request(std::string(R"({"id":1,"op":"authorization.request","params":)") +
                                 params + "}");
    EXPECT_EQ(reply["error"],
              (Json{{"code", "invalid_request"}, {"message", "kind must be microphone or speech"}}))
        << params;
  }
  EXPECT_EQ(harness.request(R"({"id":2,"op":"authorization.request"})")["ok"], false);
}

} // namespace
} // namespace quelt::testing
