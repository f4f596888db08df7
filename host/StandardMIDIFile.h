// Reading Standard MIDI Files (formats 0 and 1) into per-track lists of channel messages
// with their tick positions, plus the tempo map that turns ticks into seconds.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvel::host {

// Thrown for anything that is not a well-formed file; the message says what and where.
class MIDIFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One channel message (status 0x80-0xEF); `length` counts the status byte (2 or 3).
struct MIDIChannelEvent {
  uint64_t tick = 0;
  uint8_t status = 0;
  uint8_t data1 = 0;
  uint8_t data2 = 0;
  uint8_t length = 0;
};

struct MIDITrack {
  std::string name;  // the first track-name meta event, "" when there is none
  std::vector<MIDIChannelEvent> events;
};

struct TempoChange {
  uint64_t tick = 0;
  uint32_t microsecondsPerQuarter = 500000;
};

struct MIDIFile {
  uint16_t format = 0;
  // Metrical time: ticks per quarter note. Zero when the file counts SMPTE frames.
  uint16_t ticksPerQuarter = 0;
  // SMPTE time: frames per second (29 stands for 29.97) and ticks per frame.
  uint8_t smpteFramesPerSecond = 0;
  uint8_t ticksPerFrame = 0;
  std::vector<MIDITrack> tracks;
  std::vector<TempoChange> tempoMap;  // sorted by tick, from every track

  // Seconds from the start of the file to `tick`.
  double secondsAt(uint64_t tick) const;
};

// Parses a whole file held in memory. Every length and every read is checked against the
// data, so a truncated or hostile file ends in MIDIFileError, never in a read out of bounds.
MIDIFile ParseStandardMIDIFile(std::span<const uint8_t> data);
MIDIFile ReadStandardMIDIFile(const std::string& path);

}  // namespace korvel::host
