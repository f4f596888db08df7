// Whatever another local user leaves at the shared paths: it must neither block the
// instance, nor swell it, nor be written through or copied.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <functional>
#include <thread>

#include "tests/link/LinkFileFixture.h"

namespace korvel::test {
namespace {

enum class Hostile { Fifo, Directory, LinkToDevZero, LinkToPrivateFile, HugeSparseFile };

constexpr Hostile kAllHostile[] = {Hostile::Fifo, Hostile::Directory, Hostile::LinkToDevZero,
                                   Hostile::LinkToPrivateFile, Hostile::HugeSparseFile};
const char* Name(Hostile kind) {
  return std::array{"FIFO", "directory", "link to /dev/zero", "link to a private file",
                    "100 MB file"}[int(kind)];
}

long PeakRSSKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class HostileSharedFiles : public LinkFileTest {
 protected:
  // The private file is itself a valid connection file and active-track name, so that
  // following the link would show.
  static constexpr const char* kPrivate =
      R"({"status":"connected","trackName":"Secret","articulationNotes":[1,2,3]})";

  void Plant(Hostile kind, const std::string& path) {
    std::filesystem::remove_all(path);
    switch (kind) {
      case Hostile::Fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        break;
      case Hostile::Directory:
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        break;
      case Hostile::LinkToDevZero:
        ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
        break;
      case Hostile::LinkToPrivateFile:
        WriteFile(private_.file("private.json"), kPrivate);
        ASSERT_EQ(symlink(private_.file("private.json").c_str(), path.c_str()), 0);
        break;
      case Hostile::HugeSparseFile: {
        int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 100 << 20), 0);
        close(fd);
        break;
      }
    }
    planted_.push_back(path);
  }

  // Runs `work` on another thread and fails if it does not finish in time; a reader stuck
  // on a FIFO is let go by opening the FIFO's write end.
  void WithinDeadline(const std::function<void()>& work, const std::string& what) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      work();
      done = true;
    });
    bool finished = WaitUntil([&] { return done.load(); }, std::chrono::seconds(5));
    while (!done) {
      for (const auto& path : planted_) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    worker.join();
    EXPECT_TRUE(finished) << what << " blocked";
  }

  void SetUp() override {
    LinkFileTest::SetUp();
    peakBefore_ = PeakRSSKilobytes();
  }
  void TearDown() override {
    EXPECT_LT(PeakRSSKilobytes() - peakBefore_, 16 * 1024) << "a refused file was loaded";
    LinkFileTest::TearDown();
  }

  TempDir private_;
  std::vector<std::string> planted_;
  long peakBefore_ = 0;
};

// At the connection path they count as no file; the writer replaces them without copying
// or writing through. At the active-UID path the track-name file decides; at the
// track-name path, nothing does.
TEST_F(HostileSharedFiles, CountAsNoFileAndAreReplacedWithoutCopyingOrWritingThrough) {
  for (Hostile kind : kAllHostile) {
    SCOPED_TRACE(Name(kind));
    Link(0x42, false, "Mine");
    SetNotes({9});
    KR_Store(inst_->isActiveTrack, 1);
    Plant(kind, ConnectionPath());
    WithinDeadline([&] { KR_ReadConnectionFile(inst_.get()); }, "reading");
    EXPECT_FALSE(Connected());
    EXPECT_EQ(TrackName(), "Mine");
    EXPECT_EQ(Notes(), std::vector<int32_t>{9});
    EXPECT_TRUE(Active()) << "no file, no active-track check";

    Link(0x42, true, "Mine");
    Plant(kind, ConnectionPath());
    WithinDeadline([&] { KR_WriteConnectionFile(inst_.get()); }, "writing");
    struct stat st;
    ASSERT_EQ(lstat(ConnectionPath().c_str(), &st), 0);
    if (kind == Hostile::Directory) {
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << "a directory cannot be replaced; it stays";
    } else {
      ASSERT_TRUE(S_ISREG(st.st_mode));
      nlohmann::json file = FileJSON();
      EXPECT_EQ(file.size(), 7u) << file.dump();
      EXPECT_EQ(file["trackName"], "Mine");
      EXPECT_FALSE(file.contains("articulationNotes"));
    }
    // Nothing but the connection file (or the directory left there) in the shared place.
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(shared_.path()))
      names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"korvel_connection_00000042.json"});

    Link(0x42, true, "Secret");
    WriteFile(ActiveTrackPath(), "Secret");
    Plant(kind, ActiveUIDPath());
    KR_Store(inst_->isActiveTrack, 0);
    WithinDeadline([&] { KR_CheckActiveTrack(inst_.get()); }, "checking the UID file");
    EXPECT_TRUE(Active());
    Plant(kind, ActiveTrackPath());
    WithinDeadline([&] { KR_CheckActiveTrack(inst_.get()); }, "checking the track file");
    EXPECT_FALSE(Active());
    for (const std::string& path : {ActiveUIDPath(), ActiveTrackPath()})
      std::filesystem::remove_all(path);
  }
  EXPECT_EQ(ReadFile(private_.file("private.json")), kPrivate);
}

}  // namespace
}  // namespace korvel::test
