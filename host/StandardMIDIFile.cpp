// A small reader of our own rather than Debian's libsmf: that library has had no upstream
// maintenance for years, trusts the lengths inside the file, and brings GLib along for a
// job that is a few hundred lines. This one reads only what the host plays (channel
// messages, tempo, track names) and checks every length against the bytes it was given.
#include "host/StandardMIDIFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace korvel::host {
namespace {

// Files larger than this are not MIDI files anyone means to play.
constexpr size_t kMaxFileSize = 64u << 20;

class ByteReader {
 public:
  ByteReader(std::span<const uint8_t> data, std::string where)
      : data_(data), where_(std::move(where)) {}

  bool atEnd() const { return pos_ >= data_.size(); }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }

  uint8_t u8() {
    need(1);
    return data_[pos_++];
  }
  uint8_t peek() {
    need(1);
    return data_[pos_];
  }
  uint16_t u16() {
    need(2);
    uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  uint32_t u32() {
    need(4);
    uint32_t v = uint32_t(data_[pos_]) << 24 | uint32_t(data_[pos_ + 1]) << 16 |
                 uint32_t(data_[pos_ + 2]) << 8 | uint32_t(data_[pos_ + 3]);
    pos_ += 4;
    return v;
  }
  // A variable-length quantity: at most four bytes, seven bits each (28 bits in all).
  uint32_t vlq() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b = u8();
      value = (value << 7) | (b & 0x7F);
      if (!(b & 0x80)) return value;
    }
    fail("variable-length quantity longer than four bytes");
  }
  std::span<const uint8_t> bytes(size_t n) {
    need(n);
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  void skip(size_t n) { bytes(n); }

  [[noreturn]] void fail(const std::string& what) const {
    throw MIDIFileError(where_ + ": " + what + " (at byte " + std::to_string(pos_) + ")");
  }

 private:
  void need(size_t n) const {
    if (n > remaining()) fail("unexpected end of data");
  }

  std::span<const uint8_t> data_;
  std::string where_;
  size_t pos_ = 0;
};

uint8_t DataBytesFor(uint8_t status) {
  uint8_t type = status & 0xF0;
  return (type == 0xC0 || type == 0xD0) ? 1 : 2;
}

void ParseTrack(std::span<const uint8_t> chunk, int index, MIDIFile& file) {
  ByteReader in(chunk, "track " + std::to_string(index + 1));
  MIDITrack track;
  bool haveName = false;
  uint64_t tick = 0;
  uint8_t runningStatus = 0;

  while (!in.atEnd()) {
    tick += in.vlq();
    uint8_t first = in.peek();
    if (first == 0xFF) {  // meta event
      in.u8();
      uint8_t type = in.u8();
      uint32_t length = in.vlq();
      auto body = in.bytes(length);
      runningStatus = 0;  // meta and sysex events cancel running status
      if (type == 0x2F) break;
      if (type == 0x51) {
        if (length != 3) in.fail("tempo meta event of length " + std::to_string(length));
        uint32_t us = uint32_t(body[0]) << 16 | uint32_t(body[1]) << 8 | body[2];
        if (us == 0) in.fail("tempo of zero microseconds per quarter note");
        file.tempoMap.push_back({tick, us});
      } else if (type == 0x03 && !haveName) {
        track.name.assign(reinterpret_cast<const char*>(body.data()), body.size());
        haveName = true;
      }
      continue;
    }
    if (first == 0xF0 || first == 0xF7) {  // sysex, or a sysex continuation/escape
      in.u8();
      in.skip(in.vlq());
      runningStatus = 0;
      continue;
    }
    uint8_t status;
    if (first & 0x80) {
      if (first > 0xEF) {
        char text[48];
        std::snprintf(text, sizeof text, "system message 0x%02X in a track", first);
        in.fail(text);
      }
      status = in.u8();
      runningStatus = status;
    } else {
      if (runningStatus == 0) in.fail("data byte without a running status");
      status = runningStatus;
    }
    MIDIChannelEvent ev;
    ev.tick = tick;
    ev.status = status;
    ev.length = static_cast<uint8_t>(1 + DataBytesFor(status));
    ev.data1 = in.u8();
    if (ev.length == 3) ev.data2 = in.u8();
    if ((ev.data1 | ev.data2) & 0x80) in.fail("data byte with its top bit set");
    track.events.push_back(ev);
  }
  file.tracks.push_back(std::move(track));
}

}  // namespace

double MIDIFile::secondsAt(uint64_t tick) const {
  if (ticksPerQuarter == 0) {
    double fps = smpteFramesPerSecond == 29 ? 29.97 : smpteFramesPerSecond;
    return double(tick) / (fps * ticksPerFrame);
  }
  double seconds = 0;
  uint64_t fromTick = 0;
  uint32_t tempo = 500000;  // 120 quarter notes a minute until the first tempo event
  for (const TempoChange& change : tempoMap) {
    if (change.tick >= tick) break;
    seconds += double(change.tick - fromTick) * tempo / (1e6 * ticksPerQuarter);
    fromTick = change.tick;
    tempo = change.microsecondsPerQuarter;
  }
  return seconds + double(tick - fromTick) * tempo / (1e6 * ticksPerQuarter);
}

MIDIFile ParseStandardMIDIFile(std::span<const uint8_t> data) {
  ByteReader in(data, "MIDI file");
  if (in.remaining() < 14 || std::memcmp(data.data(), "MThd", 4) != 0)
    throw MIDIFileError("MIDI file: no MThd header");
  in.skip(4);
  uint32_t headerLength = in.u32();
  if (headerLength < 6) in.fail("header chunk shorter than 6 bytes");
  auto header = in.bytes(headerLength);  // longer headers are allowed; the rest is skipped
  ByteReader h(header, "MIDI header");
  MIDIFile file;
  file.format = h.u16();
  uint16_t trackCount = h.u16();
  uint16_t division = h.u16();
  if (file.format > 1)
    throw MIDIFileError("MIDI file: format " + std::to_string(file.format) +
                        " is not supported (only 0 and 1)");
  if (file.format == 0 && trackCount != 1)
    throw MIDIFileError("MIDI file: format 0 with " + std::to_string(trackCount) + " tracks");
  if (division & 0x8000) {
    file.smpteFramesPerSecond = static_cast<uint8_t>(-static_cast<int8_t>(division >> 8));
    file.ticksPerFrame = division & 0xFF;
    auto fps = file.smpteFramesPerSecond;
    if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || file.ticksPerFrame == 0)
      throw MIDIFileError("MIDI file: invalid SMPTE division");
  } else {
    file.ticksPerQuarter = division;
    if (division == 0) throw MIDIFileError("MIDI file: division of zero ticks per quarter");
  }

  int found = 0;
  while (found < trackCount) {
    if (in.atEnd())
      throw MIDIFileError("MIDI file: declares " + std::to_string(trackCount) +
                          " tracks but holds " + std::to_string(found));
    auto id = in.bytes(4);
    uint32_t length = in.u32();
    if (length > in.remaining())
      in.fail("chunk of " + std::to_string(length) + " bytes runs past the end of the file");
    auto body = in.bytes(length);
    if (std::memcmp(id.data(), "MTrk", 4) != 0) continue;  // unknown chunks are skipped
    ParseTrack(body, found, file);
    ++found;
  }
  std::stable_sort(file.tempoMap.begin(), file.tempoMap.end(),
                   [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
  return file;
}

MIDIFile ReadStandardMIDIFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) throw MIDIFileError(path + ": cannot open");
  std::vector<uint8_t> data;
  char buffer[65536];
  while (stream.read(buffer, sizeof buffer) || stream.gcount() > 0) {
    data.insert(data.end(), buffer, buffer + stream.gcount());
    if (data.size() > kMaxFileSize) throw MIDIFileError(path + ": larger than 64 MiB");
  }
  try {
    return ParseStandardMIDIFile(data);
  } catch (const MIDIFileError& e) {
    throw MIDIFileError(path + ": " + e.what());
  }
}

}  // namespace korvel::host
