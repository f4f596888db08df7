// The Standard MIDI File reader: the encodings sequencers write, and files that lie.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "host/StandardMidiFile.h"

namespace korvel::host {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(uint16_t format, uint16_t tracks, uint16_t division) {
  return {'M', 'T', 'h', 'd', 0, 0, 0, 6, uint8_t(format >> 8), uint8_t(format),
          uint8_t(tracks >> 8), uint8_t(tracks), uint8_t(division >> 8), uint8_t(division)};
}

Bytes Chunk(const char* id, const Bytes& body) {
  Bytes out(id, id + 4);
  uint32_t n = body.size();
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(n >> shift));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes File(uint16_t format, uint16_t division, const std::vector<Bytes>& tracks) {
  Bytes out = Header(format, tracks.size(), division);
  for (const Bytes& t : tracks) {
    Bytes chunk = Chunk("MTrk", t);
    out.insert(out.end(), chunk.begin(), chunk.end());
  }
  return out;
}

MidiFile Parse(const Bytes& b) { return ParseStandardMidiFile(b); }

TEST(SmfReader, ReadsChannelMessagesWithRunningStatusAndDeltas) {
  // Running status across CCs; a note-on given its status again; a program change (one
  // data byte) under running status; a 2-byte delta (0x81 0x00 = 128).
  Bytes track = {0x00, 0xB2, 0x01, 0x10,  0x10, 0x01, 0x20,  0x81, 0x00, 0x0B, 0x7F,
                 0x00, 0x91, 0x3C, 0x64,  0x00, 0xC1, 0x05,  0x05, 0x06,
                 0x00, 0xFF, 0x2F, 0x00};
  MidiFile f = Parse(File(0, 96, {track}));
  ASSERT_EQ(f.tracks.size(), 1u);
  const auto& ev = f.tracks[0].events;
  ASSERT_EQ(ev.size(), 6u);
  EXPECT_EQ(ev[1].status, 0xB2);
  EXPECT_EQ(ev[1].data1, 0x01);
  EXPECT_EQ(ev[1].data2, 0x20);
  EXPECT_EQ(ev[1].tick, 0x10u);
  EXPECT_EQ(ev[2].tick, 0x10u + 128u);
  EXPECT_EQ(ev[2].data1, 0x0B);
  EXPECT_EQ(ev[3].status, 0x91);
  EXPECT_EQ(ev[3].length, 3);
  EXPECT_EQ(ev[4].status, 0xC1);
  EXPECT_EQ(ev[4].length, 2);
  EXPECT_EQ(ev[5].status, 0xC1);  // running status with a one-byte message
  EXPECT_EQ(ev[5].data1, 0x06);
  EXPECT_EQ(ev[5].tick, ev[4].tick + 5);
}

TEST(SmfReader, SkipsSysexAndMetaAndKeepsTrackNameAndTempo) {
  Bytes conductor = {0x00, 0xFF, 0x03, 0x05, 'T', 'e', 'm', 'p', 'o',
                     0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,  // 500000 us
                     0x60, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,  // 1000000 us at tick 96
                     0x00, 0xFF, 0x2F, 0x00};
  Bytes track = {0x00, 0xF0, 0x03, 0x7E, 0x01, 0xF7,  // sysex, skipped
                 0x00, 0xFF, 0x03, 0x04, 'H', 'o', 'r', 'n',
                 0x00, 0x90, 0x30, 0x40,
                 0x00, 0xFF, 0x01, 0x01, 'x',  // text meta cancels running status...
                 0x00, 0x90, 0x31, 0x41,       // ...so the status comes again
                 0x00, 0xFF, 0x2F, 0x00,
                 0x00, 0x90, 0x32, 0x42};  // after end of track: ignored
  MidiFile f = Parse(File(1, 96, {conductor, track}));
  ASSERT_EQ(f.tracks.size(), 2u);
  EXPECT_EQ(f.tracks[0].name, "Tempo");
  EXPECT_TRUE(f.tracks[0].events.empty());
  EXPECT_EQ(f.tracks[1].name, "Horn");
  ASSERT_EQ(f.tracks[1].events.size(), 2u);
  EXPECT_EQ(f.tracks[1].events[1].data1, 0x31);
  ASSERT_EQ(f.tempoMap.size(), 2u);
  // 96 ticks at 0.5 s a quarter, then 96 ticks at 1 s.
  EXPECT_DOUBLE_EQ(f.secondsAt(96), 0.5);
  EXPECT_DOUBLE_EQ(f.secondsAt(192), 1.5);
  EXPECT_DOUBLE_EQ(f.secondsAt(48), 0.25);
}

TEST(SmfReader, SmpteDivisionCountsFramesAndUnknownChunksAreSkipped) {
  // -25 fps, 40 ticks per frame: 1000 ticks a second.
  Bytes file = Header(0, 1, 0xE728);
  Bytes extra = Chunk("XTRA", {1, 2, 3});
  file.insert(file.end(), extra.begin(), extra.end());
  Bytes track = Chunk("MTrk", {0x87, 0x68, 0x80, 0x40, 0x00, 0x00, 0xFF, 0x2F, 0x00});
  file.insert(file.end(), track.begin(), track.end());
  MidiFile f = Parse(file);
  ASSERT_EQ(f.tracks[0].events.size(), 1u);
  EXPECT_EQ(f.tracks[0].events[0].tick, 1000u);
  EXPECT_DOUBLE_EQ(f.secondsAt(1000), 1.0);
}

TEST(SmfReader, RejectsMalformedHeaders) {
  EXPECT_THROW(Parse({}), MidiFileError);
  EXPECT_THROW(Parse({'R', 'I', 'F', 'F', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96}), MidiFileError);
  EXPECT_THROW(Parse(File(2, 96, {{0x00, 0xFF, 0x2F, 0x00}})), MidiFileError);  // format 2
  EXPECT_THROW(Parse(File(1, 0, {{0x00, 0xFF, 0x2F, 0x00}})), MidiFileError);   // division 0
  EXPECT_THROW(Parse(File(0, 96, {{}, {}})), MidiFileError);  // format 0 with two tracks
  Bytes shortHeader = {'M', 'T', 'h', 'd', 0, 0, 0, 4, 0, 0, 0, 1, 0, 96};
  EXPECT_THROW(Parse(shortHeader), MidiFileError);
}

TEST(SmfReader, RejectsHostileAndTruncatedTracks) {
  const std::vector<Bytes> bad = {
      {0x00, 0x3C, 0x40},                    // data byte with no running status
      {0x00, 0x90, 0x3C},                    // message cut short
      {0x00, 0x90, 0x3C, 0x80},              // data byte with its top bit set
      {0x80, 0x80, 0x80, 0x80, 0x00},        // five-byte delta
      {0x80},                                // delta cut short
      {0x00, 0xFF, 0x03, 0x7F, 'a'},         // meta length past the chunk
      {0x00, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0x7F},  // huge meta length
      {0x00, 0xF0, 0x8F, 0xFF, 0xFF, 0x7F, 1},     // huge sysex length
      {0x00, 0xFF, 0x51, 0x02, 0x01, 0x02},  // tempo of the wrong length
      {0x00, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00},  // tempo of zero
      {0x00, 0xF2, 0x01, 0x02},              // system message inside a track
  };
  for (size_t i = 0; i < bad.size(); ++i)
    EXPECT_THROW(Parse(File(0, 96, {bad[i]})), MidiFileError) << "case " << i;

  Bytes file = File(1, 96, {{0x00, 0x90, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00}});
  // A chunk length beyond the end of the file, and a file declaring more tracks than it has.
  Bytes lying = file;
  lying[14 + 7] = 0x40;
  EXPECT_THROW(Parse(lying), MidiFileError);
  Bytes missing = file;
  missing[11] = 2;
  EXPECT_THROW(Parse(missing), MidiFileError);
  // Every truncation of a valid file fails cleanly.
  for (size_t n = 0; n < file.size(); ++n)
    EXPECT_THROW(Parse(Bytes(file.begin(), file.begin() + n)), MidiFileError) << n;
}

TEST(SmfReader, ErrorsNameTheTrackAndTheFile) {
  try {
    Parse(File(1, 96, {{0x00, 0xFF, 0x2F, 0x00}, {0x00, 0x3C, 0x40}}));
    FAIL() << "no error";
  } catch (const MidiFileError& e) {
    EXPECT_NE(std::string(e.what()).find("track 2"), std::string::npos) << e.what();
  }
  EXPECT_THROW(ReadStandardMidiFile("/nonexistent/file.mid"), MidiFileError);
}

}  // namespace
}  // namespace korvel::host
