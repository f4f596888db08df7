// The connection file rewritten a thousand times a second by another writer while the
// instance's reader (on two threads, as the timer queue and the main queue overlap) and
// the editor's poll read it. Every state anyone observes must be one that was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "editor/KorvelEditorView.h"
#include "link/SharedPaths.h"
#include "platform/SafeFile.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/TestSupport.h"

namespace korvel::test::faults {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string Repeat(const std::string& piece, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += piece;
  return text;
}

// Names as long as the record holds (255 bytes), of multi-byte characters, so that a
// torn copy would show as a mixture or a broken character.
const std::string kNameA = Repeat("\xC3\xA9", 127) + "A";  // 255 bytes
const std::string kNameB = Repeat("\xCE\xB2", 127) + "B";
const std::vector<int32_t> kNotesA = {24, 25, 26};
const std::vector<int32_t> kNotesB = {40, 41, 42, 43, 44};

std::vector<std::string> Contents() {
  return {json{{"status", "connected"},
               {"trackName", kNameA},
               {"articulationNotes", kNotesA},
               {"articulationNames", {"a", "b", "c"}}}
              .dump(),
          json{{"status", "disconnected"}, {"trackName", "not adopted"}}.dump(),
          json{{"status", "connected"},
               {"trackName", kNameB},
               {"articulationNotes", kNotesB},
               {"articulationNames", {"a", "b", "c", "d", "e"}}}
              .dump(),
          json{{"status", "disconnected"}}.dump()};
}

enum class WriteMode { Atomic, Truncating };
constexpr int kStormWrites = 1500;

class ConnectionFileStorm : public ::testing::TestWithParam<WriteMode> {
 protected:
  ConnectionFileStorm() { link::SetSharedFileDirectoryForTesting(files_.path()); }
  ~ConnectionFileStorm() override { link::SetSharedFileDirectoryForTesting(std::nullopt); }
  // The closed instance's timer, one-shot task and notification let go of the record
  // once the virtual clock moves on.
  void TearDown() override { clock_.advance(std::chrono::seconds(1)); }

  VirtualDispatchScope clock_;  // the instance's timers stay still: the threads below read
  TempDir files_;
};

bool KnownName(const std::string& name) { return name.empty() || name == kNameA || name == kNameB; }
bool KnownNote(int32_t note) {
  return std::count(kNotesA.begin(), kNotesA.end(), note) +
             std::count(kNotesB.begin(), kNotesB.end(), note) >
         0;
}

TEST_P(ConnectionFileStorm, ReadersSeeOnlyWrittenStates) {
  OpenInstance inst;
  const std::string path = link::ConnectionFilePath(inst.uid());
  const std::vector<std::string> contents = Contents();
  WriteFile(path, contents[0]);

  std::atomic<bool> stop{false};
  std::atomic<int> writes{0};
  std::thread writer([&] {
    auto next = std::chrono::steady_clock::now();
    for (size_t i = 0; !stop.load(); ++i) {
      const std::string& text = contents[i % contents.size()];
      if (GetParam() == WriteMode::Atomic) {
        platform::WriteFileAtomically(path, text);
      } else {
        WriteFile(path, text);
      }
      writes++;
      next += 1ms;  // a thousand writes a second
      std::this_thread::sleep_until(next);
    }
  });

  std::atomic<int> badInstanceStates{0}, instanceReads{0};
  auto instanceReader = [&] {
    while (!stop.load()) {
      KR_ReadConnectionFile(inst.get());
      const std::string name = inst.trackName();
      const uint8_t connected = KR_Load(inst->isConnected);
      const int32_t count = KR_Load(inst->articulationNoteCount);
      bool ok = KnownName(name) && connected <= 1 && (count == 0 || count == 3 || count == 5);
      for (int32_t i = 0; i < count; ++i) ok = ok && KnownNote(KR_Load(inst->articulationNotes[i]));
      if (!ok) badInstanceStates++;
      instanceReads++;
    }
  };
  std::thread timerQueue(instanceReader), mainQueue(instanceReader);

  // A plain reader of the file, as the companion would read it.
  std::atomic<int> fileReads{0}, unparsable{0}, unknownDocuments{0};
  std::thread fileReader([&] {
    while (!stop.load()) {
      auto text = platform::ReadSharedFile(path);
      if (!text) continue;
      fileReads++;
      json document = json::parse(*text, nullptr, false);
      if (document.is_discarded() || !document.is_object()) {
        unparsable++;
        continue;
      }
      const std::string status = document.value("status", "");
      const std::string name = document.value("trackName", "");
      const bool known =
          (status == "connected" && (name == kNameA || name == kNameB)) ||
          (status == "disconnected" && (name.empty() || name == "not adopted" || KnownName(name)));
      if (!known) unknownDocuments++;
    }
  });

  // The editor polls on this thread (the host's main thread); each poll may make the
  // instance write the file too, a third writer.
  editor::KorvelEditorView view(editor::Rect{0, 0, 340, 500},
                                reinterpret_cast<AudioUnit>(inst.get()));
  ASSERT_EQ(view.uniqueID(), inst.uid());
  int polls = 0, badEditorStates = 0;
  std::set<std::string> editorNames;
  // A thousand writes, at most a thousand a second: on a loaded machine (or under a
  // sanitizer) the writer is slower, and the storm lasts longer instead.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (writes.load() < kStormWrites && std::chrono::steady_clock::now() < deadline) {
    view.pollConnectionFile();
    polls++;
    const bool consistent = view.isConnected()
                                ? (view.trackName() == kNameA || view.trackName() == kNameB)
                                : view.trackName().empty();
    bool notesKnown = true;
    for (int32_t note : view.articulationNotes()) notesKnown = notesKnown && KnownNote(note);
    if (!consistent || !notesKnown) badEditorStates++;
    editorNames.insert(view.trackName());
  }
  stop = true;
  writer.join();
  timerQueue.join();
  mainQueue.join();
  fileReader.join();

  EXPECT_GE(writes.load(), kStormWrites) << "the storm ran";
  EXPECT_GT(instanceReads.load(), 100) << "the readers ran during the storm";
  EXPECT_GT(fileReads.load(), 100);
  EXPECT_EQ(badInstanceStates.load(), 0);
  EXPECT_EQ(badEditorStates, 0);
  EXPECT_EQ(unknownDocuments.load(), 0);
  EXPECT_GE(editorNames.size(), 2u) << "the editor saw the link come and go";
  if (GetParam() == WriteMode::Atomic) {
    EXPECT_EQ(unparsable.load(), 0) << "an atomic replacement is never seen half-written";
  }
  std::printf(
      "%d writes, %d instance reads, %d editor polls, %d file reads of which %d unparsable\n",
      writes.load(), instanceReads.load(), polls, fileReads.load(), unparsable.load());

  // Whatever the storm left, the instance and the file agree again after one read.
  KR_ReadConnectionFile(inst.get());
  EXPECT_TRUE(KnownName(inst.trackName()));
}

INSTANTIATE_TEST_SUITE_P(Writes, ConnectionFileStorm,
                         ::testing::Values(WriteMode::Atomic, WriteMode::Truncating),
                         [](const auto& info) {
                           return info.param == WriteMode::Atomic ? "Atomic" : "Truncating";
                         });

}  // namespace
}  // namespace korvel::test::faults
