// The Standard MIDI File reader: the encodings sequencers write, and files that lie.
#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "host/StandardMIDIFile.h"

namespace korvel::host {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

Bytes Header(uint16_t format, uint16_t tracks, uint16_t division) {
  return {'M',
          'T',
          'h',
          'd',
          0,
          0,
          0,
          6,
          uint8_t(format >> 8),
          uint8_t(format),
          uint8_t(tracks >> 8),
          uint8_t(tracks),
          uint8_t(division >> 8),
          uint8_t(division)};
}

Bytes Chunk(const char* id, const Bytes& body) {
  Bytes out(id, id + 4);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(body.size() >> shift));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes File(uint16_t format, uint16_t division, const std::vector<Bytes>& tracks) {
  Bytes out = Header(format, tracks.size(), division);
  for (const Bytes& t : tracks) {
    const Bytes chunk = Chunk("MTrk", t);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return out;
}

MIDIFile Parse(const Bytes& b) { return ParseStandardMIDIFile(b); }

// tick, status, data1, data2, length
using Event = std::tuple<uint64_t, int, int, int, int>;
std::vector<Event> Events(const MIDITrack& track) {
  std::vector<Event> out;
  for (const auto& e : track.events) out.emplace_back(e.tick, e.status, e.data1, e.data2, e.length);
  return out;
}

TEST(SmfReader, ReadsChannelMessagesWithRunningStatusAndDeltas) {
  // Running status across CCs; a note-on given its status again; a program change (one
  // data byte) under running status; a 2-byte delta (0x81 0x00 = 128).
  const MIDIFile f = Parse(
      File(0, 96, {{0x00, 0xB2, 0x01, 0x10, 0x10, 0x01, 0x20, 0x81, 0x00, 0x0B, 0x7F, 0x00,
                    0x91, 0x3C, 0x64, 0x00, 0xC1, 0x05, 0x05, 0x06, 0x00, 0xFF, 0x2F, 0x00}}));
  ASSERT_EQ(f.tracks.size(), 1u);
  EXPECT_EQ(Events(f.tracks[0]), (std::vector<Event>{{0, 0xB2, 1, 0x10, 3},
                                                     {0x10, 0xB2, 1, 0x20, 3},
                                                     {0x90, 0xB2, 0x0B, 0x7F, 3},
                                                     {0x90, 0x91, 0x3C, 0x64, 3},
                                                     {0x90, 0xC1, 5, 0, 2},
                                                     {0x95, 0xC1, 6, 0, 2}}));
}

TEST(SmfReader, SkipsSysexAndMetaAndKeepsTrackNameAndTempo) {
  const Bytes conductor = {0x00, 0xFF, 0x03, 0x05, 'T',  'e',  'm',  'p',
                           'o',  0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,  // 500000 us
                           0x60, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,        // 1000000 us at tick 96
                           0x00, 0xFF, 0x2F, 0x00};
  const Bytes track = {
      0x00, 0xF0, 0x03, 0x7E, 0x01, 0xF7,  // sysex, skipped
      0x00, 0xFF, 0x03, 0x04, 'H',  'o',  'r',  'n', 0x00,
      0x90, 0x30, 0x40, 0x00, 0xFF, 0x01, 0x01, 'x',    // text meta cancels running status...
      0x00, 0x90, 0x31, 0x41,                           // ...so the status comes again
      0x00, 0xFF, 0x2F, 0x00, 0x00, 0x90, 0x32, 0x42};  // after end of track: ignored
  const MIDIFile f = Parse(File(1, 96, {conductor, track}));
  ASSERT_EQ(f.tracks.size(), 2u);
  EXPECT_EQ(f.tracks[0].name, "Tempo");
  EXPECT_TRUE(f.tracks[0].events.empty());
  EXPECT_EQ(f.tracks[1].name, "Horn");
  EXPECT_EQ(Events(f.tracks[1]),
            (std::vector<Event>{{0, 0x90, 0x30, 0x40, 3}, {0, 0x90, 0x31, 0x41, 3}}));
  ASSERT_EQ(f.tempoMap.size(), 2u);
  // 96 ticks at 0.5 s a quarter, then 96 ticks at 1 s.
  EXPECT_DOUBLE_EQ(f.secondsAt(48), 0.25);
  EXPECT_DOUBLE_EQ(f.secondsAt(96), 0.5);
  EXPECT_DOUBLE_EQ(f.secondsAt(192), 1.5);
}

TEST(SmfReader, SmpteDivisionCountsFramesAndUnknownChunksAreSkipped) {
  Bytes file = Header(0, 1, 0xE728);  // -25 fps, 40 ticks per frame: 1000 ticks a second
  for (const Bytes& chunk : {Chunk("XTRA", {1, 2, 3}),
                             Chunk("MTrk", {0x87, 0x68, 0x80, 0x40, 0x00, 0x00, 0xFF, 0x2F, 0x00})})
    file.insert(file.end(), chunk.begin(), chunk.end());
  const MIDIFile f = Parse(file);
  EXPECT_EQ(Events(f.tracks.at(0)), (std::vector<Event>{{1000, 0x80, 0x40, 0, 3}}));
  EXPECT_DOUBLE_EQ(f.secondsAt(1000), 1.0);
}

TEST(SmfReader, RejectsMalformedHeadersAndHostileOrTruncatedTracks) {
  const Bytes headers[] = {
      {},
      {'R', 'I', 'F', 'F', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96},
      File(2, 96, {kEnd}),                                  // format 2
      File(1, 0, {kEnd}),                                   // division 0
      File(0, 96, {{}, {}}),                                // format 0 with two tracks
      {'M', 'T', 'h', 'd', 0, 0, 0, 4, 0, 0, 0, 1, 0, 96},  // short header
  };
  for (const Bytes& file : headers) EXPECT_THROW(Parse(file), MIDIFileError) << file.size();

  const Bytes tracks[] = {
      {0x00, 0x3C, 0x40},                          // data byte with no running status
      {0x00, 0x90, 0x3C},                          // message cut short
      {0x00, 0x90, 0x3C, 0x80},                    // data byte with its top bit set
      {0x80, 0x80, 0x80, 0x80, 0x00},              // five-byte delta
      {0x80},                                      // delta cut short
      {0x00, 0xFF, 0x03, 0x7F, 'a'},               // meta length past the chunk
      {0x00, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0x7F},  // huge meta length
      {0x00, 0xF0, 0x8F, 0xFF, 0xFF, 0x7F, 1},     // huge sysex length
      {0x00, 0xFF, 0x51, 0x02, 0x01, 0x02},        // tempo of the wrong length
      {0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00},  // tempo of zero
      {0x00, 0xF2, 0x01, 0x02},                    // system message inside a track
  };
  for (const Bytes& track : tracks)
    EXPECT_THROW(Parse(File(0, 96, {track})), MIDIFileError) << int(track[0]);

  const Bytes file = File(1, 96, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00}});
  Bytes lying = file, missing = file;
  lying[14 + 7] = 0x40;  // a chunk length beyond the end of the file
  missing[11] = 2;       // more tracks declared than the file has
  EXPECT_THROW(Parse(lying), MIDIFileError);
  EXPECT_THROW(Parse(missing), MIDIFileError);
  for (size_t n = 0; n < file.size(); ++n)  // every truncation of a valid file fails cleanly
    EXPECT_THROW(Parse(Bytes(file.begin(), file.begin() + n)), MIDIFileError) << n;
}

TEST(SmfReader, ErrorsNameTheTrackAndTheFile) {
  try {
    Parse(File(1, 96, {kEnd, {0x00, 0x3C, 0x40}}));
    FAIL() << "no error";
  } catch (const MIDIFileError& e) {
    EXPECT_NE(std::string(e.what()).find("track 2"), std::string::npos) << e.what();
  }
  EXPECT_THROW(ReadStandardMIDIFile("/nonexistent/file.mid"), MIDIFileError);
}

}  // namespace
}  // namespace korvel::host
