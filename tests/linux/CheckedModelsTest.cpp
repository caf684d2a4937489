#include "pocketsphinx/CheckedModels.h"
#include "platform/ChildProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quelt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string contents(const fs::path& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

long residentPages(const std::string& process) {
  std::ifstream statm("/proc/" + process + "/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident;
}

// Asks in a child process that is killed past a generous deadline or once it holds 256 MB more
// than this one, so that a lookup that blocks or reads without end fails the test instead of
// hanging it or exhausting the machine. Nothing when the child gave no answer.
std::optional<bool> askInChild(const std::function<bool()>& ask) {
  const long limit = residentPages("self") + (256L << 20) / ::sysconf(_SC_PAGESIZE);
  pid_t pid = ::fork();
  if (pid == 0)
    ::_exit(ask() ? 1 : 0);
  ChildProcess child;
  child.adopt(pid);
  auto deadline = std::chrono::steady_clock::now() + 30s;
  for (;;) {
    if (auto status = child.tryWait())
      return WIFEXITED(*status) ? std::optional<bool>(WEXITSTATUS(*status) == 1) : std::nullopt;
    if (std::chrono::steady_clock::now() > deadline || residentPages(std::to_string(pid)) > limit)
      return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

class CheckedModels : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directories(root / "model" / "acoustic");
    std::ofstream(root / "model" / "acoustic" / "mdef") << "phones";
    std::ofstream(root / "model" / "acoustic" / "means") << "numbers";
    std::ofstream(root / "model" / "lm.bin") << "grams";
    std::ofstream(root / "model" / "words.dict") << "hello h e l o\n";
  }
  void TearDown() override { fs::remove_all(root); }

  bool checked() const { return modelCheckedBefore(memory, files); }

  // The verdict file that remembering the model makes.
  fs::path rememberedVerdict() {
    rememberModelChecked(memory, files);
    EXPECT_TRUE(checked());
    for (const auto& entry : fs::directory_iterator(memory))
      return entry.path();
    return {};
  }

  fs::path root = fs::temp_directory_path() / ("quelt-checked-" + std::to_string(::getpid()));
  PocketsphinxModelFiles files{"en-US", (root / "model" / "acoustic").string(),
                               (root / "model" / "lm.bin").string(),
                               (root / "model" / "words.dict").string()};
  std::string memory = (root / "memory").string();
};

TEST_F(CheckedModels, AModelIsRememberedUntilOneOfItsFilesChanges) {
  EXPECT_FALSE(checked());
  rememberModelChecked(memory, files);
  EXPECT_TRUE(checked());
  EXPECT_FALSE(modelCheckedBefore((root / "elsewhere").string(), files));

  // Same size, same contents even: rewriting a file inside the acoustic model is a change.
  // (Past the file system's clock tick, which a real change always is.)
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ofstream(root / "model" / "acoustic" / "means") << "numbers";
  EXPECT_FALSE(checked());
  rememberModelChecked(memory, files);
  EXPECT_TRUE(checked());
  fs::remove(root / "model" / "words.dict");
  EXPECT_FALSE(checked());
}

// Whatever stands where the verdict belongs, the answer comes at once and is "check again".
TEST_F(CheckedModels, AVerdictThatIsNotASmallPlainFileMeansCheckingAgain) {
  fs::path verdict = rememberedVerdict();
  ASSERT_FALSE(verdict.empty());
  fs::path genuine = root / "genuine";
  fs::copy_file(verdict, genuine);
  auto ask = [this] { return checked(); };

  fs::remove(verdict);
  ASSERT_EQ(::mkfifo(verdict.c_str(), 0600), 0);
  EXPECT_EQ(askInChild(ask), std::optional<bool>(false)) << "a FIFO with no writer";

  fs::remove(verdict);
  fs::create_symlink("/dev/zero", verdict);
  EXPECT_EQ(askInChild(ask), std::optional<bool>(false)) << "a link to /dev/zero";

  fs::remove(verdict);
  fs::create_symlink(genuine, verdict);
  EXPECT_EQ(askInChild(ask), std::optional<bool>(false)) << "a link, even to a true verdict";

  // Sparse, so it takes no disk; reading it whole would take a gigabyte of memory.
  fs::remove(verdict);
  fs::copy_file(genuine, verdict);
  fs::resize_file(verdict, 1L << 30);
  EXPECT_EQ(askInChild(ask), std::optional<bool>(false)) << "a true verdict, padded to 1 GB";

  fs::remove(verdict);
  fs::copy_file(genuine, verdict);
  EXPECT_TRUE(checked());
}

TEST_F(CheckedModels, RememberingNeverWritesThroughALinkPlantedAtItsTemporaryName) {
  fs::path verdict = rememberedVerdict();
  ASSERT_FALSE(verdict.empty());
  fs::remove(verdict);
  std::ofstream(root / "precious") << "keep";
  fs::create_symlink(root / "precious", verdict.string() + "." + std::to_string(::getpid()));

  rememberModelChecked(memory, files);
  EXPECT_EQ(contents(root / "precious"), "keep");
  EXPECT_FALSE(checked());
}

} // namespace
} // namespace quelt
