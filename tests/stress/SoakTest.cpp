// Thousands of capture start/stop cycles and renders through one helper: what it holds
// (threads, file descriptors, resident memory) comes back to where it was after warming up.
//
// QUELT_SOAK_CYCLES sets the number of each (200 unless set; scripts/soak.sh runs 10000).

#include "stress/Traffic.h"

namespace quelt::testing {
namespace {

namespace fs = std::filesystem;

// Two at a time, as a commit makes them: the recognizer keeps that many decoders ready, so the
// memory measured is the helper's own and not decoders made and freed again.
constexpr int inFlight = 2;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in a 256 MB quarantine before using it again.
constexpr size_t allocatorSlackKb = 320 * 1024;
#else
constexpr size_t allocatorSlackKb = 48 * 1024;
#endif

class Soak : public ::testing::Test {
protected:
  void SetUp() override { fs::create_directories(scratch); }
  void TearDown() override { fs::remove_all(scratch); }

  // Runs `count` capture cycles: each starts a real-time file capture, stops it as soon as it
  // is answered and waits for its end; a few run at once.
  void captureCycles(int count) {
    std::map<int64_t, int64_t> running; // capture -> start request
    for (int done = 0; done < count;) {
      while (static_cast<int>(running.size()) < inFlight && nextCapture < firstCapture + count) {
        int64_t capture = nextCapture++;
        running[capture] =
            traffic.send("capture.start", {{"capture", capture},
                                           {"source", fileSource("sentence-16k-mono.wav", true)}});
      }
      ASSERT_TRUE(traffic.pump()) << "no answer with " << running.size() << " captures running";
      for (auto it = running.begin(); it != running.end();) {
        auto [capture, start] = *it;
        if (!traffic.answered(start)) {
          ++it;
          continue;
        }
        if (traffic.reply(start)["ok"] != true)
          ADD_FAILURE() << traffic.reply(start);
        if (!stopped.count(capture) && traffic.reply(start)["ok"] == true) {
          stopped.insert(capture);
          traffic.send("capture.stop", {{"capture", capture}});
        }
        if (traffic.reply(start)["ok"] == true && !traffic.captureEnded(capture)) {
          ++it;
          continue;
        }
        it = running.erase(it);
        ++done;
      }
    }
    firstCapture = nextCapture;
  }

  void renders(int count) {
    std::set<int64_t> running;
    for (int started = 0; started < count || !running.empty();) {
      while (static_cast<int>(running.size()) < inFlight && started < count) {
        std::string file = "soak" + std::to_string(started % inFlight) + ".wav";
        running.insert(traffic.send("speech.synthesize_file",
                                    {{"text", "Soak."}, {"path", (scratch / file).string()}}));
        ++started;
      }
      ASSERT_TRUE(traffic.pump()) << "no answer with " << running.size() << " renders running";
      std::erase_if(running, [&](int64_t id) {
        if (!traffic.answered(id))
          return false;
        EXPECT_EQ(traffic.reply(id)["ok"], true) << traffic.reply(id);
        return true;
      });
    }
  }

  // What the helper holds once the threads of finished work have gone: the same twice in a
  // row, and no more than `atMost` if that comes within a few seconds.
  Footprint settledFootprint(std::optional<Footprint> atMost = {}) {
    Footprint last = footprint(helper.pid());
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      Footprint now = footprint(helper.pid());
      bool steady = now.threads == last.threads && now.descriptors == last.descriptors;
      last = now;
      if (steady &&
          (!atMost || (now.threads <= atMost->threads && now.descriptors <= atMost->descriptors)))
        break;
    }
    return last;
  }

  fs::path scratch = fs::temp_directory_path() / ("quelt-soak-" + std::to_string(::getpid()));
  HelperProcess helper;
  Traffic traffic{helper};
  int64_t firstCapture = 1;
  int64_t nextCapture = 1;
  std::set<int64_t> stopped;
};

TEST_F(Soak, CaptureCyclesAndRendersLeaveThreadsDescriptorsAndMemoryFlat) {
  int cycles = environmentCount("QUELT_SOAK_CYCLES", 200);
  int warmUp = std::max(20, cycles / 10);
  captureCycles(warmUp);
  renders(warmUp);
  Footprint before = settledFootprint();

  auto began = std::chrono::steady_clock::now();
  captureCycles(cycles);
  renders(cycles);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  Footprint after = settledFootprint(before);

  std::printf("%d capture cycles and %d renders in %.1f s; threads %zu -> %zu, descriptors %zu "
              "-> %zu, resident %zu -> %zu kB\n",
              cycles, cycles, seconds, before.threads, after.threads, before.descriptors,
              after.descriptors, before.residentKb, after.residentKb);
  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.descriptors, before.descriptors);
  // Allocator slack and caches grow a little; a leak per cycle would show as megabytes.
  EXPECT_LE(after.residentKb, before.residentKb + allocatorSlackKb);
  traffic.expectReplies();
  for (const auto& [capture, events] : traffic.captures())
    Traffic::expectOneEnd(events, "capture " + std::to_string(capture));
}

} // namespace
} // namespace quelt::testing
