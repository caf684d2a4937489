#include "pocketsphinx/CheckedModels.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

namespace quelt {
namespace {

namespace fs = std::filesystem;

// A stamp takes about a hundred bytes per file, and a model has a dozen files or so; one too
// big for this is not remembered at all.
constexpr size_t maxVerdictBytes = 16 * 1024;

// The state of every file of a model, one line each; nothing when one cannot be read.
std::optional<std::string> modelStamp(const PocketsphinxModelFiles& files) {
  std::vector<std::string> paths{files.languageModel, files.dictionary};
  std::error_code error;
  for (fs::recursive_directory_iterator entry(files.acousticModel, error), end;
       !error && entry != end; entry.increment(error))
    if (entry->is_regular_file(error))
      paths.push_back(entry->path().string());
  if (error)
    return std::nullopt;
  std::sort(paths.begin() + 2, paths.end());
  std::ostringstream stamp;
  for (const auto& path : paths) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
      return std::nullopt;
    stamp << path << ' ' << status.st_dev << ' ' << status.st_ino << ' ' << status.st_size << ' '
          << status.st_mtim.tv_sec << '.' << status.st_mtim.tv_nsec << ' ' << status.st_ctim.tv_sec
          << '.' << status.st_ctim.tv_nsec << '\n';
  }
  return stamp.str();
}

fs::path verdictPath(const std::string& directory, const PocketsphinxModelFiles& files) {
  size_t key = std::hash<std::string>{}(files.acousticModel + '\n' + files.languageModel + '\n' +
                                        files.dictionary);
  std::ostringstream name;
  name << "model-" << std::hex << key;
  return fs::path(directory) / name.str();
}

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  // Closes now, for the error a close may report.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

private:
  int fd_;
};

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

} // namespace

bool modelCheckedBefore(const std::string& directory, const PocketsphinxModelFiles& files) {
  auto stamp = modelStamp(files);
  if (!stamp || stamp->size() > maxVerdictBytes)
    return false;
  // No following a link, no waiting for a FIFO's writer.
  Descriptor verdict(::open(verdictPath(directory, files).c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status;
  if (verdict.get() < 0 || ::fstat(verdict.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      status.st_size != static_cast<off_t>(stamp->size()))
    return false;
  // One byte more than the stamp, to see a file that grew since fstat.
  std::string kept(stamp->size() + 1, '\0');
  size_t got = 0;
  while (got < kept.size()) {
    ssize_t read = ::read(verdict.get(), kept.data() + got, kept.size() - got);
    if (read < 0 && errno == EINTR)
      continue;
    if (read < 0)
      return false;
    if (read == 0)
      break;
    got += static_cast<size_t>(read);
  }
  kept.resize(got);
  return kept == *stamp;
}

void rememberModelChecked(const std::string& directory, const PocketsphinxModelFiles& files) {
  auto stamp = modelStamp(files);
  std::error_code error;
  if (!stamp || stamp->size() > maxVerdictBytes ||
      (fs::create_directories(directory, error), error))
    return;
  // Written aside and renamed into place, so two helpers never read half a verdict. The file
  // aside must be new: whatever already has its name (a leftover, a planted link) is not
  // written through, and the model is simply checked again next time.
  fs::path path = verdictPath(directory, files);
  std::string aside = path.string() + "." + std::to_string(::getpid());
  Descriptor file(
      ::open(aside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (file.get() < 0)
    return;
  bool written = writeAll(file.get(), *stamp);
  written = file.close() && written;
  if (!written || ::rename(aside.c_str(), path.c_str()) != 0)
    ::unlink(aside.c_str());
}

} // namespace quelt
