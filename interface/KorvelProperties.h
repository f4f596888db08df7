/*
 * What the component publishes to its editor and to hosts, with no dependency at all: the
 * custom property IDs, the sizes of the tables they carry, and the class name a host asks
 * the view factory for. The editor reaches an instance only through these properties, so
 * this header is all it knows of the component.
 */
#pragma once

#include <cstdint>

enum : uint32_t {
  kKorvelProperty_CCValues = 65001,
  kKorvelProperty_UniqueID = 65002,
  kKorvelProperty_Connected = 65003,
  kKorvelProperty_TrackName = 65004,
  kKorvelProperty_ActiveArticulation = 65005,
  kKorvelProperty_LastVelocity = 65006,
  kKorvelProperty_ArticulationNotes = 65008,
  kKorvelProperty_PendingEvents = 65009,
  kKorvelProperty_ActiveTrack = 65010,
  kKorvelProperty_CompanionCommand = 65011,
  kKorvelProperty_CCTriggered = 65012,
  /* The editor's hold on its instance: set 1 takes a reference on the instance, set 0
   * gives one back; get answers 1 while the instance is open, 0 once the host has closed
   * it (a closed instance answers no other property). */
  kKorvelProperty_EditorHold = 65100,
};

inline constexpr int kKorvelChannels = 16;
inline constexpr int kKorvelControllers = 128;
inline constexpr int kKorvelMaxPending = 256;
inline constexpr int kKorvelMaxArticulations = 128;
inline constexpr int kKorvelTrackNameSize = 256;

/* The view factory's class name in the CocoaUI view information. */
inline constexpr const char* kKorvelViewFactoryClassName = "KorvelViewFactory";
