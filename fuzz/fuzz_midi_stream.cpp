/*
 * The MIDI stream: the input is a program of operations on one instance — MIDI events,
 * resets, drains through KR_DrainPending and through the pending-events property, link
 * flag changes, articulation lists, the host's MIDI output callback, renders and reads of
 * the editor's properties. A small reference model of the record follows every step, and
 * after each one the record must agree with it and keep its invariants.
 */
#include <cstring>
#include <deque>
#include <vector>

#include "component/KorvelComponent.h"
#include "fuzz/FuzzSupport.h"
#include "platform/MIDIPacketList.h"

namespace {

using korvel::fuzz::CheckRecordInvariants;

/* Reads the program; past the end every read gives 0. */
class Program {
 public:
  Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t word() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(byte()) << (8 * i);
    return v;
  }
  std::vector<uint8_t> bytes(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

/* What the record should hold, following the rules of the component's MIDI input. */
struct Model {
  uint8_t cc[16][128] = {};
  uint8_t triggered[128] = {};
  int32_t activeArticulation = -1;
  uint32_t lastVelocity = 0;
  uint8_t lastQueued[16][256];
  std::deque<PendingEvent> queue;
  int32_t articulations[128] = {};
  int32_t articulationCount = 0;
  bool connected = false;
  bool active = false;
  bool callbackSet = false;

  Model() { std::memset(lastQueued, 0xFF, sizeof lastQueued); }

  void reset() {
    std::memset(cc, 0, sizeof cc);
    std::memset(triggered, 0, sizeof triggered);
    activeArticulation = -1;
    lastVelocity = 0;
    std::memset(lastQueued, 0xFF, sizeof lastQueued);
  }

  void enqueue(uint32_t status, uint32_t d1, uint32_t d2, uint8_t length) {
    if (queue.size() >= 256) return;
    queue.push_back(PendingEvent{uint8_t(status), uint8_t(d1 & 0x7F), uint8_t(d2 & 0x7F), length});
  }

  void midi(uint32_t status, uint32_t d1, uint32_t d2) {
    const uint32_t type = status & 0xF0, channel = status & 0x0F;
    bool note = false;
    if (type == 0xB0) {
      cc[channel][d1 & 0x7F] = uint8_t(d2 & 0x7F);
      triggered[d1 & 0x7F] = 1;
    } else if (type == 0x90 && d2 != 0) {
      const int32_t n = int32_t(d1 & 0x7F);
      bool keyswitch = false;
      for (int32_t i = 0; i < articulationCount; ++i) {
        if (articulations[i] == n) {
          keyswitch = true;
          break;
        }
      }
      if (keyswitch)
        activeArticulation = n;
      else
        lastVelocity = d2;
      note = true;
    }
    if (!connected || !active) return;
    if (note) {
      enqueue(status, d1, d2, 3);
      return;
    }
    int slot;
    uint8_t value, length;
    if (type == 0xB0)
      slot = int(d1 & 0x7F), value = uint8_t(d2 & 0x7F), length = 3;
    else if (type == 0xD0)
      slot = 128, value = uint8_t(d1 & 0x7F), length = 2;
    else if (type == 0xE0)
      slot = 129, value = uint8_t(d2 & 0x7F), length = 3;
    else
      return;
    if (lastQueued[channel][slot] == value) return;
    lastQueued[channel][slot] = value;
    enqueue(status, d1, d2, length);
  }
};

/* What the host's MIDI output callback should see for the event under way. */
struct ThruExpectation {
  int calls = 0;
  Byte bytes[3] = {};
  uint16_t length = 0;
};

OSStatus ThruCallback(void* userData, const AudioTimeStamp* when, uint32_t output,
                      const MIDIPacketList* list) {
  auto* expect = static_cast<ThruExpectation*>(userData);
  ++expect->calls;
  FUZZ_CHECK(output == 0, "thru went to an output other than 0");
  FUZZ_CHECK(when != nullptr && when->mSampleTime == 0 && when->mHostTime == 0 && when->mFlags == 0,
             "thru time stamp not zero");
  FUZZ_CHECK(list != nullptr, "thru without a packet list");
  // The list lives in a buffer smaller than the declared type: read it by offset.
  const auto* bytes = reinterpret_cast<const Byte*>(list);
  uint32_t packets;
  MIDITimeStamp time;
  uint16_t length;
  std::memcpy(&packets, bytes, 4);
  std::memcpy(&time, bytes + 4, 8);
  std::memcpy(&length, bytes + 12, 2);
  FUZZ_CHECK(packets == 1, "thru packet list must hold one packet");
  FUZZ_CHECK(time == 0, "thru packet time not 0");
  FUZZ_CHECK(length == expect->length, "thru packet length " + std::to_string(length));
  FUZZ_CHECK(std::memcmp(bytes + 14, expect->bytes, expect->length) == 0,
             "thru bytes differ from the event");
  return noErr;
}

void CheckDrained(const Model& model, const PendingEvent* events, size_t n, const char* how) {
  FUZZ_CHECK(n == model.queue.size(), std::string(how) + ": drained " + std::to_string(n) +
                                          " entries, expected " +
                                          std::to_string(model.queue.size()));
  for (size_t i = 0; i < n; ++i) {
    const PendingEvent& got = events[i];
    const PendingEvent& want = model.queue[i];
    FUZZ_CHECK(got.length == 2 || got.length == 3, std::string(how) + ": entry length");
    FUZZ_CHECK(got.dataByte1 < 0x80 && got.dataByte2 < 0x80,
               std::string(how) + ": entry data bytes");
    FUZZ_CHECK(std::memcmp(&got, &want, sizeof got) == 0,
               std::string(how) + ": entry " + std::to_string(i) + " differs from the model");
  }
}

/* Whole-table comparisons with the model, which by construction holds only 7-bit values
 * and 0xFF marks: they imply the record's byte-wise invariants, so the full invariant
 * scan runs every few steps and at the end rather than after every one. */
void CheckAgainstModel(KorvelInstance* inst, const Model& model, bool fullScan) {
  if (fullScan) CheckRecordInvariants(inst);
  uint8_t header[7];
  std::memcpy(header, inst->sysexHeader, sizeof header);
  const uint32_t uid = KR_Load(inst->uniqueID);
  FUZZ_CHECK(uid != 0 && header[0] == 0xF0 && header[1] == 0x7D && header[2] == (uid >> 28) &&
                 header[3] == ((uid >> 21) & 0x7F) && header[4] == ((uid >> 14) & 0x7F) &&
                 header[5] == ((uid >> 7) & 0x7F) && header[6] == (uid & 0x7F),
             "sysexHeader does not match the UID");
  FUZZ_CHECK(std::memcmp(inst->ccValues, model.cc, sizeof model.cc) == 0,
             "ccValues differ from the model");
  FUZZ_CHECK(std::memcmp(inst->ccTriggered, model.triggered, sizeof model.triggered) == 0,
             "ccTriggered differs from the model");
  FUZZ_CHECK(KR_Load(inst->activeArticulation) == model.activeArticulation, "activeArticulation");
  FUZZ_CHECK(KR_Load(inst->lastVelocity) == model.lastVelocity, "lastVelocity");
  FUZZ_CHECK(std::memcmp(inst->lastQueuedValue, model.lastQueued, sizeof model.lastQueued) == 0,
             "lastQueuedValue differs from the model");
  FUZZ_CHECK(KR_Load(inst->articulationNoteCount) == model.articulationCount,
             "articulationNoteCount");
  FUZZ_CHECK(std::memcmp(inst->articulationNotes, model.articulations,
                         sizeof(int32_t) * size_t(model.articulationCount)) == 0,
             "articulationNotes");
  KR_LockGuard guard(&inst->pendingLock);
  CheckDrained(model, inst->pendingEvents, size_t(inst->pendingCount), "queue");
}

void SetWord(KorvelInstance* inst, AudioUnitPropertyID id, uint32_t value) {
  FUZZ_CHECK(KR_SetProperty(inst, id, kAudioUnitScope_Global, 0, &value, sizeof value) == noErr,
             "set of property " + std::to_string(id));
}

template <class T>
T GetValue(KorvelInstance* inst, AudioUnitPropertyID id) {
  T value{};
  uint32_t size = sizeof value;
  FUZZ_CHECK(KR_GetProperty(inst, id, kAudioUnitScope_Global, 0, &value, &size) == noErr,
             "get of property " + std::to_string(id));
  FUZZ_CHECK(size == sizeof value, "size of property " + std::to_string(id));
  return value;
}

void RunMIDI(KorvelInstance* inst, Model& model, ThruExpectation& thru, uint32_t status,
             uint32_t d1, uint32_t d2) {
  thru.calls = 0;
  thru.length = (status & 0xE0) == 0xC0 ? 2 : 3;
  thru.bytes[0] = Byte(status), thru.bytes[1] = Byte(d1), thru.bytes[2] = Byte(d2);
  FUZZ_CHECK(KR_MIDIEvent(inst, status, d1, d2, 0) == noErr, "KR_MIDIEvent result");
  FUZZ_CHECK(thru.calls == (model.callbackSet ? 1 : 0),
             "thru callback calls " + std::to_string(thru.calls));
  model.midi(status, d1, d2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KorvelInstance* inst = korvel::fuzz::NewBareRecord();
  Model model;
  ThruExpectation thru;
  Program program(data, size);
  unsigned steps = 0;

  while (!program.done()) {
    switch (program.byte() % 12) {
      case 0:
      case 1:
      case 2: {  // the common case: an event from the three bytes of a MIDI message
        const uint32_t status = program.byte(), d1 = program.byte(), d2 = program.byte();
        RunMIDI(inst, model, thru, status, d1, d2);
        break;
      }
      case 3: {  // the handler's arguments are 32-bit words: the high bits must not leak
        const uint32_t status = program.word(), d1 = program.word(), d2 = program.word();
        RunMIDI(inst, model, thru, status, d1, d2);
        break;
      }
      case 4:
        FUZZ_CHECK(KR_Reset(inst, program.byte(), program.byte()) == noErr, "KR_Reset result");
        model.reset();
        break;
      case 5: {
        PendingEvent events[kKorvelMaxPending];
        const int n = KR_DrainPending(inst, events);
        FUZZ_CHECK(n >= 0 && n <= kKorvelMaxPending, "KR_DrainPending count");
        CheckDrained(model, events, size_t(n), "KR_DrainPending");
        model.queue.clear();
        break;
      }
      case 6: {  // the editor's drain, with the size it passes or a smaller one
        const uint32_t capacity = (program.byte() & 1) ? 1028 : 4 + 4 * (program.byte() % 257);
        std::vector<uint8_t> buffer(capacity);
        uint32_t ioSize = capacity;
        const OSStatus result = KR_GetProperty(inst, kKorvelProperty_PendingEvents,
                                               kAudioUnitScope_Global, 0, buffer.data(), &ioSize);
        if (result != noErr) break;  // a refused get must not have taken anything: checked below
        FUZZ_CHECK(ioSize >= 4 && ioSize <= capacity, "drain size " + std::to_string(ioSize));
        uint32_t n;
        std::memcpy(&n, buffer.data(), 4);
        FUZZ_CHECK(ioSize == 4 + 4 * n, "drain size does not match its count");
        CheckDrained(model, reinterpret_cast<const PendingEvent*>(buffer.data() + 4), n,
                     "property 65009");
        model.queue.clear();
        break;
      }
      case 7: {
        const uint32_t value = program.byte() & 1 ? program.word() : 0;
        SetWord(inst, kKorvelProperty_Connected, value);  // no track name: writes no file
        model.connected = value != 0;
        break;
      }
      case 8: {
        const uint32_t value = program.byte() & 1 ? program.word() : 0;
        SetWord(inst, kKorvelProperty_ActiveTrack, value);
        model.active = value != 0;
        break;
      }
      case 9: {  // an articulation list of any byte length, whole words or not
        const size_t length = program.byte() | (size_t(program.byte() & 3) << 8);
        std::vector<uint8_t> bytes = program.bytes(length);
        bytes.reserve(1);  // never a null pointer, even for an empty list
        const uint32_t n = std::min<uint32_t>(uint32_t(bytes.size()) / 4, 128);
        FUZZ_CHECK(KR_SetProperty(inst, kKorvelProperty_ArticulationNotes, kAudioUnitScope_Global,
                                  0, bytes.data(), uint32_t(bytes.size())) == noErr,
                   "set of the articulation list");
        for (uint32_t i = 0; i < n; ++i)
          std::memcpy(&model.articulations[i], bytes.data() + 4 * i, 4);
        model.articulationCount = int32_t(n);
        break;
      }
      case 10: {
        AUMIDIOutputCallbackStruct callback{};
        const bool set = program.byte() & 1;
        if (set) callback = {ThruCallback, &thru};
        FUZZ_CHECK(KR_SetProperty(inst, kAudioUnitProperty_MIDIOutputCallback,
                                  kAudioUnitScope_Global, 0, &callback, sizeof callback) == noErr,
                   "set of the MIDI output callback");
        model.callbackSet = set;
        break;
      }
      case 11: {  // what the editor reads, and a render of silence in between
        uint8_t cc[16][128];
        uint32_t ccSize = sizeof cc;
        FUZZ_CHECK(KR_GetProperty(inst, kKorvelProperty_CCValues, 0, 0, cc, &ccSize) == noErr &&
                       ccSize == sizeof cc,
                   "get of the CC table");
        FUZZ_CHECK(std::memcmp(cc, model.cc, sizeof cc) == 0,
                   "CC table property differs from the model");
        uint8_t triggered[128];
        uint32_t triggeredSize = sizeof triggered;
        FUZZ_CHECK(KR_GetProperty(inst, kKorvelProperty_CCTriggered, 0, 0, triggered,
                                  &triggeredSize) == noErr,
                   "get of the triggered flags");
        FUZZ_CHECK(std::memcmp(triggered, model.triggered, sizeof triggered) == 0,
                   "triggered flags property");
        FUZZ_CHECK(
            GetValue<int32_t>(inst, kKorvelProperty_ActiveArticulation) == model.activeArticulation,
            "active articulation property");
        FUZZ_CHECK(GetValue<uint32_t>(inst, kKorvelProperty_LastVelocity) == model.lastVelocity,
                   "last velocity property");
        FUZZ_CHECK(
            GetValue<uint32_t>(inst, kKorvelProperty_Connected) == (model.connected ? 1u : 0u),
            "connected property");
        FUZZ_CHECK(
            GetValue<uint32_t>(inst, kKorvelProperty_ActiveTrack) == (model.active ? 1u : 0u),
            "active track property");

        float samples[2][16];
        std::memset(samples, 0x7F, sizeof samples);
        alignas(AudioBufferList) uint8_t storage[sizeof(AudioBufferList) + 2 * sizeof(AudioBuffer)];
        auto* list = reinterpret_cast<AudioBufferList*>(storage);
        list->mNumberBuffers = 3;
        list->mBuffers[0] = {1, sizeof samples[0], samples[0]};
        list->mBuffers[1] = {1, 64, nullptr};
        list->mBuffers[2] = {1, sizeof samples[1], samples[1]};
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp when{};
        FUZZ_CHECK(KR_Render(inst, &flags, &when, 0, 16, list) == noErr, "KR_Render result");
        for (const auto& buffer : samples)
          for (float s : buffer) FUZZ_CHECK(s == 0.0f, "render left a sample that is not silence");
        break;
      }
    }
    CheckAgainstModel(inst, model, ++steps % 32 == 0);
  }
  CheckAgainstModel(inst, model, true);

  korvel::fuzz::FreeBareRecord(inst);
  return 0;
}
