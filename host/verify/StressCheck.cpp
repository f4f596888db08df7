#include "host/verify/StressCheck.h"

#include <cairo.h>
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/EditorView.h"
#include "host/HostSupport.h"
#include "host/MainLoop.h"
#include "host/Plist.h"
#include "host/PluginInstance.h"
#include "host/PropertyIDs.h"
#include "host/RealtimeThread.h"
#include "host/verify/AllocationCounter.h"
#include "host/verify/StressInvariants.h"

namespace korvel::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kInstances = 4;
constexpr int kHammerThreads = 4;
constexpr auto kCheckpointEvery = std::chrono::milliseconds(50);
constexpr auto kEditorTickEvery = std::chrono::milliseconds(30);

// Inconsistencies by kind: how often, and the first one in words.
class Findings {
 public:
  void add(const std::string& kind, const std::string& detail) {
    std::lock_guard lock(mutex_);
    Entry& e = byKind_[kind];
    if (e.count++ == 0) e.first = detail;
  }
  void add(const std::string& kind, uint64_t count, const std::string& detail) {
    if (count == 0) return;
    std::lock_guard lock(mutex_);
    Entry& e = byKind_[kind];
    if (e.count == 0) e.first = detail;
    e.count += count;
  }
  bool empty() const {
    std::lock_guard lock(mutex_);
    return byKind_.empty();
  }
  std::string summary() const {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& [kind, e] : byKind_) {
      if (!text.empty()) text += "; ";
      text += kind + " x" + std::to_string(e.count) + " (first: " + e.first + ")";
    }
    return text;
  }

 private:
  struct Entry {
    uint64_t count = 0;
    std::string first;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Entry> byKind_;
};

// Which UIDs each instance may legitimately report: the one it opened with, every value
// a thread asked it to take (set or restore; a refused one leaves the old UID, which is
// in the set already), and the fresh UIDs the plug-in logged for refused restores.
// A report outside that set is kept and looked at again once the log has been read to
// the end, since a fresh UID may be read before its log line arrives.
class UIDLedger {
 public:
  explicit UIDLedger(size_t instances) : mayHold_(instances) {}

  void mayHold(size_t instance, uint32_t uid) {
    std::lock_guard lock(mutex_);
    mayHold_[instance].insert(uid);
  }
  void fresh(uint32_t uid) {
    std::lock_guard lock(mutex_);
    fresh_.insert(uid);
  }
  void observe(size_t instance, uint32_t uid, const char* source) {
    std::lock_guard lock(mutex_);
    if (!plausibleLocked(instance, uid)) suspicious_.push_back({instance, uid, source});
  }
  // After the run, with the log read to the end.
  void settle(Findings& findings) {
    std::lock_guard lock(mutex_);
    for (const Suspect& s : suspicious_)
      if (!plausibleLocked(s.instance, s.uid))
        findings.add("UID never held", std::string(s.source) + " of instance " +
                                           std::to_string(s.instance + 1) + " gave " + Hex(s.uid) +
                                           ", a UID it was never given");
  }
  std::set<uint32_t> freshUIDs() const {
    std::lock_guard lock(mutex_);
    return fresh_;
  }
  std::set<uint32_t> everything() const {
    std::lock_guard lock(mutex_);
    std::set<uint32_t> all = fresh_;
    for (const auto& s : mayHold_) all.insert(s.begin(), s.end());
    return all;
  }
  size_t freshCount() const {
    std::lock_guard lock(mutex_);
    return fresh_.size();
  }

 private:
  struct Suspect {
    size_t instance;
    uint32_t uid;
    const char* source;
  };
  bool plausibleLocked(size_t instance, uint32_t uid) const {
    return mayHold_[instance].count(uid) || fresh_.count(uid);
  }
  mutable std::mutex mutex_;
  std::vector<std::set<uint32_t>> mayHold_;
  std::set<uint32_t> fresh_;
  std::vector<Suspect> suspicious_;
};

// Brings the hammering threads to a stop between two calls, so that a checker sees a
// state no set is changing.
class Gate {
 public:
  explicit Gate(int workers) : workers_(workers) {}
  void checkpoint() {
    if (!pauseRequested_.load(std::memory_order_acquire)) return;
    std::unique_lock lock(mutex_);
    ++paused_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !pauseRequested_.load(std::memory_order_relaxed); });
    --paused_;
  }
  void leave() {
    std::lock_guard lock(mutex_);
    --workers_;
    changed_.notify_all();
  }
  void pause() {
    std::unique_lock lock(mutex_);
    pauseRequested_.store(true, std::memory_order_release);
    changed_.wait(lock, [&] { return paused_ >= workers_; });
  }
  void resume() {
    std::lock_guard lock(mutex_);
    pauseRequested_.store(false, std::memory_order_release);
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> pauseRequested_{false};
  int paused_ = 0;
  int workers_;
};

// What the threads write, and so what reads may show.
struct Written {
  std::vector<std::string> namePayloads;   // as set through the track-name property
  std::vector<std::string> restoredNames;  // as given in restored saved states
  std::set<std::string> names;             // every name an instance may then hold
  std::vector<std::vector<uint8_t>> formats;
  std::vector<uint32_t> maxFrames = {1024, 256, 512, 4096};
  std::vector<std::vector<int32_t>> articulationLists;

  explicit Written(const AudioStreamBasicDescription& initial) {
    std::string alphabet(300, 'a');
    for (size_t i = 0; i < alphabet.size(); ++i) alphabet[i] = char('a' + i % 26);
    namePayloads = {"Violins I",         "Celli \xE2\x99\xAA",  "Horns 1-4",
                    "Fl\xC3\xBBte alto", std::string(255, 'x'), alphabet};
    restoredNames = {"Basses", "Harp \xE2\x99\xAA", std::string(255, 'y'), alphabet};
    // Both setters keep at most 255 bytes (and these cuts fall on character boundaries).
    for (const auto* list : {&namePayloads, &restoredNames})
      for (const std::string& n : *list) names.insert(n.substr(0, 255));

    AudioStreamBasicDescription other = initial;
    other.mSampleRate = 44100.0;
    other.mChannelsPerFrame = 2;
    for (const AudioStreamBasicDescription* f :
         {&initial, static_cast<const AudioStreamBasicDescription*>(&other)}) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(f);
      formats.emplace_back(bytes, bytes + sizeof *f);
    }
    articulationLists = {{24, 25, 26, 27}, {}, {30}, {}};
    for (int i = 0; i < 150; ++i) articulationLists[1].push_back(i % 12 + 24);
  }
};

// The instances' MIDI output: every thru packet is compared with the event just sent.
// Called on the real-time thread only, so it counts and never allocates.
struct ThruProbe {
  uint8_t status = 0, data1 = 0, data2 = 0;
  uint64_t calls = 0;
  uint64_t mismatches = 0;
  const char* firstProblem = nullptr;

  static OSStatus Callback(void* user, const AudioTimeStamp*, uint32_t output,
                           const MIDIPacketList* list) {
    auto* self = static_cast<ThruProbe*>(user);
    ++self->calls;
    const char* problem = nullptr;
    if (output != 0) {
      problem = "thru went to an output other than 0";
    } else if (stress::ThruMatches(list, self->status, self->data1, self->data2, &problem)) {
      return noErr;
    }
    if (self->mismatches++ == 0) self->firstProblem = problem;
    return noErr;
  }
};

class StressRun {
 public:
  explicit StressRun(ValidationContext& ctx)
      : ctx_(ctx), ledger_(kInstances), gate_(kHammerThreads) {}

  PhaseResult run() {
    openInstances();
    Written written(initialFormat_);
    written_ = &written;
    makeEditors();
    {
      // The plug-in's duplicate-UID lines name the fresh UIDs it hands out. They are the
      // expected outcome of the duplicate restores, thousands of them: they are counted,
      // not passed on; every other line goes on to the real standard error unchanged.
      StderrCapture tap([this](const std::string& line) {
        static const std::string kFresh = "assigned fresh UID ";
        const size_t at = line.find(kFresh);
        if (at == std::string::npos) return false;
        ledger_.fresh(
            static_cast<uint32_t>(std::strtoul(line.c_str() + at + kFresh.size(), nullptr, 16)));
        return true;
      });
      runThreads();
      tap.finish();
    }
    ledger_.settle(findings_);
    editors_.clear();
    units_.clear();
    ctx_.loop.runFor(std::chrono::milliseconds(400));  // one-shot tasks of the closed instances
    removeConnectionFiles();
    return result();
  }

 private:
  void openInstances() {
    for (int i = 0; i < kInstances; ++i) {
      auto unit = std::make_unique<PluginInstance>(ctx_.bundle);
      uint32_t uid = unit->uniqueID();
      ledger_.mayHold(i, uid);
      if (::access(ConnectionFilePath(uid).c_str(), F_OK) != 0) ours_.insert(uid);
      unit->setMIDIOutputCallback(&ThruProbe::Callback, &thru_[i]);
      units_.push_back(std::move(unit));
    }
    uint32_t size = sizeof initialFormat_;
    units_[0]->getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Global, &initialFormat_,
                           &size);
  }

  void makeEditors() {
    try {
      for (auto& unit : units_) editors_.push_back(MakeEditorView(*unit));
    } catch (const std::exception& e) {
      editors_.clear();
      editorNote_ = std::string("editors not ticked: ") + e.what();
    }
  }

  // A UID that no file under /tmp uses yet, so that the files this run makes the
  // instances write can all be removed afterwards.
  uint32_t newUID() {
    for (;;) {
      uint32_t uid = RandomU32();
      if (uid == 0 || ::access(ConnectionFilePath(uid).c_str(), F_OK) == 0) continue;
      std::lock_guard lock(oursMutex_);
      ours_.insert(uid);
      return uid;
    }
  }

  void runThreads() {
    std::atomic<bool> stopHammers{false}, stopOthers{false};
    std::vector<std::thread> hammers;
    for (int t = 0; t < kHammerThreads; ++t)
      hammers.emplace_back([this, &stopHammers, seed = RandomU32()] {
        std::mt19937 rng(seed);
        while (!stopHammers.load(std::memory_order_relaxed)) {
          gate_.checkpoint();
          hammerOnce(rng);
        }
        gate_.leave();
      });
    std::thread checker([this, &stopOthers] {
      while (!stopOthers.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(kCheckpointEvery);
        gate_.pause();
        try {
          checkpoint();
        } catch (const std::exception& e) {
          findings_.add("refused call", e.what());
        }
        gate_.resume();
      }
    });
    RealtimeThread midi([this, &stopOthers] { playMIDI(stopOthers); });

    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(ctx_.stressSeconds));
    auto nextTick = Clock::now();
    // The loop looks at its condition at least every 20 ms; the editors are ticked from
    // there, on the main thread, between runs of the plug-in's main-queue work.
    ctx_.loop.runUntil([&] {
      if (Clock::now() >= nextTick) {
        tickEditors();
        nextTick = Clock::now() + kEditorTickEvery;
      }
      return Clock::now() >= end;
    });
    stopOthers = true;
    checker.join();
    midi.join();
    stopHammers = true;
    for (auto& t : hammers) t.join();
  }

  // ---- the hammering threads ----

  // One hammering call: a property read or write, a restore, or a reset, on one instance.
  // `pick` is the call's own random word (which value, read or write).
  using Operation = void (StressRun::*)(size_t i, PluginInstance& unit, uint32_t pick);
  struct NamedOperation {
    const char* name;
    Operation run;
    uint32_t weight;  // relative frequency among the operations
  };

  void hammerOnce(std::mt19937& rng) {
    static constexpr NamedOperation kOperations[] = {
        {"read UniqueID", &StressRun::readUID, 1},
        {"set UniqueID", &StressRun::setUID, 1},
        {"check saved state", &StressRun::checkSavedStateOp, 1},
        {"restore saved state", &StressRun::restoreOp, 1},
        {"stream format", &StressRun::streamFormat, 1},
        {"maximum frames per slice", &StressRun::maximumFrames, 1},
        {"TrackName", &StressRun::trackName, 1},
        {"set ArticulationNotes", &StressRun::articulationNotes, 1},
        {"Connected or ActiveTrack flag", &StressRun::flag, 2},
        {"drain PendingEvents", &StressRun::drainPending, 1},
        {"read CCValues and CCTriggered", &StressRun::ccTables, 1},
        {"read ActiveArticulation and LastVelocity", &StressRun::articulationAndVelocity, 1},
        {"reset", &StressRun::resetOp, 1},
        {"set CompanionCommand", &StressRun::companionCommand, 1},
    };
    static constexpr uint32_t kTotalWeight = [] {
      uint32_t total = 0;
      for (const NamedOperation& op : kOperations) total += op.weight;
      return total;
    }();
    const size_t i = rng() % units_.size();
    PluginInstance& unit = *units_[i];
    const uint32_t pick = rng();
    calls_.fetch_add(1, std::memory_order_relaxed);
    uint32_t choice = rng() % kTotalWeight;
    for (const NamedOperation& op : kOperations) {
      if (choice >= op.weight) {
        choice -= op.weight;
        continue;
      }
      try {
        (this->*op.run)(i, unit, pick);
      } catch (const std::exception& e) {
        findings_.add("refused call", std::string(op.name) + ": " + e.what());
      }
      return;
    }
  }

  void readUID(size_t i, PluginInstance& unit, uint32_t) {
    uint32_t uid = 0, size = 4;
    OSStatus s = unit.getProperty(kUniqueID, kAudioUnitScope_Global, &uid, &size);
    if (s != noErr || uid == 0)
      findings_.add("UID read", "status " + std::to_string(s) + ", UID " + Hex(uid));
    else
      ledger_.observe(i, uid, "the UID property");
  }

  void setUID(size_t i, PluginInstance& unit, uint32_t pick) {
    uint32_t uid = pick % 3 == 0 ? newUID() : pick % 3 == 1 ? otherUID(i, pick) : 0;
    if (uid == 0) return;
    ledger_.mayHold(i, uid);
    if (unit.setProperty(kUniqueID, kAudioUnitScope_Global, &uid, 4) != noErr)
      findings_.add("UID set", "set of UniqueID refused");
  }

  void checkSavedStateOp(size_t i, PluginInstance&, uint32_t) { checkSavedState(i); }
  void restoreOp(size_t i, PluginInstance&, uint32_t pick) { restore(i, pick); }

  void streamFormat(size_t, PluginInstance& unit, uint32_t pick) {
    if (pick & 1) {
      const auto& f = written_->formats[(pick >> 1) % written_->formats.size()];
      unit.setProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Global, f.data(),
                       uint32_t(f.size()));
    } else {
      uint8_t read[sizeof(AudioStreamBasicDescription)];
      uint32_t size = sizeof read;
      unit.getProperty(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Global, read, &size);
      report("stream format",
             stress::CheckBytesFromWritten(read, sizeof read, written_->formats, "stream format"));
    }
  }

  void maximumFrames(size_t, PluginInstance& unit, uint32_t pick) {
    const auto& frames = written_->maxFrames;
    if (pick & 1) {
      unit.setU32(kAudioUnitProperty_MaximumFramesPerSlice, frames[(pick >> 1) % frames.size()]);
    } else {
      uint32_t v = unit.getU32(kAudioUnitProperty_MaximumFramesPerSlice);
      if (std::find(frames.begin(), frames.end(), v) == frames.end())
        findings_.add("maximum frames", "read " + std::to_string(v) + ", never written");
    }
  }

  void trackName(size_t, PluginInstance& unit, uint32_t pick) {
    if (pick & 1) {
      const std::string& name = written_->namePayloads[(pick >> 1) % written_->namePayloads.size()];
      const bool withZero = pick & 2;
      unit.setProperty(kTrackName, kAudioUnitScope_Global, name.c_str(),
                       uint32_t(name.size() + (withZero ? 1 : 0)));
    } else {
      checkTrackName(unit);
    }
  }

  void articulationNotes(size_t, PluginInstance& unit, uint32_t pick) {
    const auto& list = written_->articulationLists[pick % written_->articulationLists.size()];
    // An empty list is sent as two bytes, which the plug-in takes as no notes.
    int32_t none = 0;
    unit.setProperty(kArticulationNotes, kAudioUnitScope_Global, list.empty() ? &none : list.data(),
                     list.empty() ? 2 : uint32_t(list.size() * 4));
  }

  void flag(size_t, PluginInstance& unit, uint32_t pick) {
    const bool connected = pick & 2;
    const uint32_t id = connected ? kConnected : kActiveTrack;
    if (pick & 1) {
      unit.setU32(id, (pick >> 2) & 1);
    } else if (uint32_t v = unit.getU32(id); v > 1) {
      findings_.add("flag", std::string(connected ? "Connected" : "ActiveTrack") + " read " +
                                std::to_string(v));
    }
  }

  void drainPending(size_t, PluginInstance& unit, uint32_t) {
    uint8_t data[sizeof(uint32_t) + kKorvelMaxPending * 4];
    uint32_t size = sizeof data;
    if (unit.getProperty(kPendingEvents, kAudioUnitScope_Global, data, &size) != noErr) {
      findings_.add("pending drain", "get of PendingEvents refused");
      return;
    }
    drains_.fetch_add(1, std::memory_order_relaxed);
    if (auto problem = stress::CheckDrain(data, size)) {
      findings_.add("pending drain", *problem);
    } else {
      uint32_t count;
      std::memcpy(&count, data, 4);
      drained_.fetch_add(count, std::memory_order_relaxed);
    }
  }

  void ccTables(size_t, PluginInstance& unit, uint32_t) {
    auto values = unit.ccValues();
    report("CC values", stress::CheckCCValues(values.data(), values.size()));
    auto flags = unit.ccTriggered();
    report("CC flags", stress::CheckCCTriggered(flags.data(), flags.size()));
  }

  void articulationAndVelocity(size_t, PluginInstance& unit, uint32_t) {
    int32_t articulation = unit.activeArticulation();
    uint32_t velocity = unit.lastVelocity();
    if (articulation < -1 || articulation > 127)
      findings_.add("articulation", "active articulation " + std::to_string(articulation));
    if (velocity > 127) findings_.add("velocity", "last velocity " + std::to_string(velocity));
  }

  void resetOp(size_t, PluginInstance& unit, uint32_t) {
    if (unit.reset() != noErr) findings_.add("reset", "Reset answered an error");
  }

  void companionCommand(size_t, PluginInstance& unit, uint32_t pick) {
    uint32_t command = pick % 4;
    if (unit.setProperty(kCompanionCommand, kAudioUnitScope_Global, &command, 4) != noErr)
      findings_.add("companion command",
                    "set of CompanionCommand to " + std::to_string(command) + " refused");
  }

  uint32_t otherUID(size_t i, uint32_t pick) {
    size_t j = (i + 1 + pick % (units_.size() - 1)) % units_.size();
    return units_[j]->getU32(kUniqueID);
  }

  void report(const char* kind, const std::optional<std::string>& problem) {
    if (problem) findings_.add(kind, *problem);
  }

  void checkTrackName(const PluginInstance& unit) {
    char name[256];
    uint32_t size = sizeof name;
    if (unit.getProperty(kTrackName, kAudioUnitScope_Global, name, &size) != noErr || size != 256) {
      findings_.add("track name", "get of 65004 failed or returned size " + std::to_string(size));
      return;
    }
    report("track name", stress::CheckTrackName(name, written_->names));
  }

  // Returns the saved UID (0 when there is none) after checking the dictionary.
  uint32_t checkSavedState(size_t i) {
    plist_t dict = nullptr;
    uint32_t size = sizeof dict;
    OSStatus s =
        units_[i]->getProperty(kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, &dict, &size);
    PlistPtr owned(dict);
    savedStates_.fetch_add(1, std::memory_order_relaxed);
    if (s != noErr || !dict || plist_get_node_type(dict) != PLIST_DICT) {
      findings_.add("saved state", "get of property 0 gave no dictionary");
      return 0;
    }
    auto uid = PlistInteger(PlistDictItem(dict, "tvUniqueID"));
    auto connected = PlistInteger(PlistDictItem(dict, "tvConnected"));
    if (!uid || !connected || PlistString(PlistDictItem(dict, "name")) != "Korvel") {
      findings_.add("saved state", "a key is missing or of the wrong type");
      return 0;
    }
    if (*connected != 0 && *connected != 1)
      findings_.add("saved state", "tvConnected is " + std::to_string(*connected));
    if (plist_t name = PlistDictItem(dict, "tvTrackName")) {
      auto text = PlistString(name);
      if (!text || text->empty() || !written_->names.count(*text))
        findings_.add("saved state", "tvTrackName \"" +
                                         text.value_or("(not a string)").substr(0, 40) +
                                         "\" is none of the names written");
    }
    ledger_.observe(i, static_cast<uint32_t>(*uid), "the saved state");
    return static_cast<uint32_t>(*uid);
  }

  void restore(size_t i, uint32_t pick) {
    PlistPtr state(plist_new_dict());
    uint32_t uid = 0;
    switch (pick % 5) {
      case 0:
        uid = otherUID(i, pick >> 8);
        break;  // a duplicate: refused, fresh UID
      case 1:
        uid = newUID();
        break;
      case 2:
        uid = units_[i]->getU32(kUniqueID);
        break;
      case 3:
        break;  // no UID: the instance keeps its own
      case 4:
        state.reset(plist_new_string("not a saved state"));
        break;
    }
    if (uid != 0) {
      ledger_.mayHold(i, uid);
      plist_dict_set_item(state.get(), "tvUniqueID",
                          plist_new_uint(uint64_t(int64_t(int32_t(uid)))));
    }
    if (plist_get_node_type(state.get()) == PLIST_DICT) {
      plist_dict_set_item(state.get(), "tvConnected", plist_new_uint((pick >> 4) & 1));
      const auto& names = written_->restoredNames;
      plist_dict_set_item(state.get(), "tvTrackName",
                          plist_new_string(names[(pick >> 5) % names.size()].c_str()));
    }
    restores_.fetch_add(1, std::memory_order_relaxed);
    plist_t node = state.get();
    if (units_[i]->setProperty(kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, &node,
                               sizeof node) != noErr)
      findings_.add("restore", "set of property 0 refused");
  }

  // ---- the checker, while the hammering threads wait ----

  void checkpoint() {
    std::map<uint32_t, size_t> holders;
    for (size_t i = 0; i < units_.size(); ++i) {
      uint32_t uid = units_[i]->getU32(kUniqueID);
      ledger_.observe(i, uid, "the UID property at a checkpoint");
      if (uid == 0) findings_.add("UID read", "instance " + std::to_string(i + 1) + " holds UID 0");
      auto [at, inserted] = holders.emplace(uid, i);
      if (!inserted)
        findings_.add("duplicate UID", "instances " + std::to_string(at->second + 1) + " and " +
                                           std::to_string(i + 1) + " both hold " + Hex(uid));
      // Nothing that changes a UID runs now, so the saved state must name this very one.
      uint32_t saved = checkSavedState(i);
      if (saved != 0 && saved != uid)
        findings_.add("saved UID", "instance " + std::to_string(i + 1) + " holds " + Hex(uid) +
                                       " but saves tvUniqueID " + Hex(saved));
    }
    checkpoints_.fetch_add(1, std::memory_order_relaxed);
  }

  // ---- the real-time thread ----

  void playMIDI(const std::atomic<bool>& stop) {
    float samples[128];
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {1, sizeof samples, samples};
    AudioTimeStamp time{};
    // Counting starts with the second round: a thread's first calls into a library may
    // set up its per-thread state, as on any host's audio thread before it plays.
    std::optional<ThreadAllocationCount> allocations;
    uint32_t step = 0;
    uint64_t events = 0, silentMisses = 0, missingThru = 0;
    for (bool first = true; !stop.load(std::memory_order_relaxed); first = false) {
      if (!first && !allocations) allocations.emplace();
      for (size_t i = 0; i < units_.size(); ++i) {
        ThruProbe& probe = thru_[i];
        for (int k = 0; k < 16; ++k, ++step) {
          uint8_t status, d1, d2;
          NextEvent(step, status, d1, d2);
          probe.status = status;
          probe.data1 = d1;
          probe.data2 = d2;
          const uint64_t before = probe.calls;
          units_[i]->midiEvent(status, d1, d2, k);
          if (probe.calls != before + 1) ++missingThru;
          ++events;
        }
        std::memset(samples, 0x5A, sizeof samples);
        AudioUnitRenderActionFlags flags = 0;
        units_[i]->render(&flags, &time, 128, &list);
        for (float s : samples)
          if (s != 0.0f) {
            ++silentMisses;
            break;
          }
      }
      timespec pause{0, 1'000'000};  // about one short audio period
      clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
    midiEvents_ = events;
    rtAllocations_ = allocations ? allocations->count() : 0;
    findings_.add("render", silentMisses, "a render left samples that are not silence");
    findings_.add("thru", missingThru, "an event was not passed on exactly once");
    for (const ThruProbe& probe : thru_)
      findings_.add("thru", probe.mismatches, probe.firstProblem ? probe.firstProblem : "");
  }

  // A mix of every channel message, keyswitch notes (24 to 35) among them.
  static void NextEvent(uint32_t step, uint8_t& status, uint8_t& d1, uint8_t& d2) {
    const uint8_t channel = step % 16;
    const uint32_t r = step * 2654435761u;
    d1 = (r >> 8) & 0x7F;
    d2 = (r >> 16) & 0x7F;
    switch (step % 8) {
      case 0:
        status = 0x90;
        d1 = 24 + (r >> 8) % 12;
        d2 = 1 + d2 % 127;
        break;
      case 1:
        status = 0x90;
        d1 = 36 + (r >> 8) % 60;
        d2 = 1 + d2 % 127;
        break;
      case 2:
        status = 0x80;
        break;
      case 3:
      case 4:
        status = 0xB0;
        break;
      case 5:
        status = 0xE0;
        break;
      case 6:
        status = 0xD0;
        break;
      default:
        status = (step & 8) ? 0xC0 : 0xA0;
        break;
    }
    status |= channel;
  }

  // ---- the main thread ----

  void tickEditors() {
    if (editors_.empty()) return;
    for (auto& editor : editors_) editor->tick();
    // One editor is drawn per tick, in turn, as a window would redraw it.
    EditorView& shown = *editors_[editorTicks_ % editors_.size()];
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 340, 500);
    cairo_t* cr = cairo_create(surface);
    shown.draw(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    ++editorTicks_;
  }

  void removeConnectionFiles() {
    // Fresh UIDs are random draws of the plug-in made during this run: a file of that
    // name that was there before is taken to be beyond chance.
    const std::set<uint32_t> fresh = ledger_.freshUIDs();
    std::lock_guard lock(oursMutex_);
    for (uint32_t uid : ledger_.everything())
      if (ours_.count(uid) || fresh.count(uid)) ::unlink(ConnectionFilePath(uid).c_str());
  }

  PhaseResult result() {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s, ", ctx_.stressSeconds);
    std::string counts =
        seconds + std::to_string(kInstances) + " instances, " + std::to_string(kHammerThreads) +
        " threads: " + std::to_string(calls_.load()) + " property calls, " +
        std::to_string(savedStates_.load()) + " saved states, " + std::to_string(restores_.load()) +
        " restores (" + std::to_string(ledger_.freshCount()) + " fresh UIDs), " +
        std::to_string(drains_.load()) + " drains (" + std::to_string(drained_.load()) +
        " events), " + std::to_string(midiEvents_) + " MIDI events, " +
        std::to_string(checkpoints_.load()) + " checkpoints, " +
        (editors_.empty() && !editorNote_.empty() ? editorNote_
                                                  : std::to_string(editorTicks_) + " editor ticks");
    if (AllocationCountingAvailable() && rtAllocations_ != 0)
      findings_.add("real-time allocation", rtAllocations_,
                    std::to_string(rtAllocations_) + " allocations on the real-time thread");
    if (!findings_.empty()) return {Outcome::Fail, findings_.summary() + " -- " + counts};
    return {Outcome::Pass, counts};
  }

  ValidationContext& ctx_;
  UIDLedger ledger_;
  Gate gate_;
  Findings findings_;
  const Written* written_ = nullptr;
  AudioStreamBasicDescription initialFormat_{};

  std::vector<std::unique_ptr<PluginInstance>> units_;
  ThruProbe thru_[kInstances];
  std::vector<std::unique_ptr<EditorView>> editors_;  // released before the instances
  std::string editorNote_;
  uint64_t editorTicks_ = 0;

  std::mutex oursMutex_;
  std::set<uint32_t> ours_;  // UIDs whose connection file did not exist before this run

  std::atomic<uint64_t> calls_{0}, savedStates_{0}, restores_{0}, drains_{0}, drained_{0},
      checkpoints_{0};
  uint64_t midiEvents_ = 0;
  uint64_t rtAllocations_ = 0;
};

}  // namespace

PhaseResult StressPhase(ValidationContext& ctx) {
  StressRun run(ctx);
  return run.run();
}

}  // namespace korvel::host
