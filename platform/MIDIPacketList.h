/*
 * Building packet lists in caller-provided buffers (the platform's MIDIPacketListInit /
 * MIDIPacketListAdd). Header-only and allocation-free, because the real-time thread
 * builds its thru packet with it. Unlike the platform's version, Add never merges data
 * into the previous packet: every call makes a packet of its own, which is what the
 * companion's wire format (tag packet, then event packet) requires.
 */
#pragma once

#include <string.h>

#include "platform/AudioComponent.h"

#ifdef __cplusplus
extern "C" {
#endif

static inline MIDIPacket* MIDIPacketListInit(MIDIPacketList* list) {
  list->numPackets = 0;
  return list->packet;
}

/* The packet after `p`: it follows p->data[p->length] directly, at 4-byte packing. */
static inline MIDIPacket* MIDIPacketNext(const MIDIPacket* p) {
  return (MIDIPacket*)((const Byte*)p + offsetof(MIDIPacket, data) + p->length);
}

/* Appends a packet after `cur` (the value returned by Init or by the previous Add) in a
 * list living in a buffer of `listSize` bytes. Returns the new packet, or NULL when it
 * does not fit (the list is then unchanged). */
static inline MIDIPacket* MIDIPacketListAdd(MIDIPacketList* list, size_t listSize, MIDIPacket* cur,
                                            MIDITimeStamp time, size_t nData, const Byte* data) {
  MIDIPacket* p = list->numPackets == 0 ? list->packet : MIDIPacketNext(cur);
  size_t end = (size_t)((Byte*)p - (Byte*)list) + offsetof(MIDIPacket, data) + nData;
  if (nData > 0xFFFF || end > listSize) return NULL;
  memcpy(&p->timeStamp, &time, sizeof time);
  p->length = (uint16_t)nData;
  memcpy(p->data, data, nData);
  list->numPackets++;
  return p;
}

/* Makes `list` -- a buffer of sizeof(MIDIPacketList) bytes -- a list of one packet with
 * time stamp 0 holding a message of `length` (at most three) bytes. This is how a thru
 * passes each event on. The bytes go in as one four-byte store: a reader's load of any of
 * them is then served from that store, where byte-by-byte stores would stall it; the
 * bytes past `length` are inside the buffer and mean nothing. */
static inline void MIDIPacketListSetShortMessage(MIDIPacketList* list, uint16_t length,
                                                 uint32_t status, uint32_t data1, uint32_t data2) {
  MIDIPacket* p = list->packet;
  const uint32_t bytes = (status & 0xFF) | (data1 & 0xFF) << 8 | (data2 & 0xFF) << 16;
  const MIDITimeStamp now = 0;
  list->numPackets = 1;
  memcpy(&p->timeStamp, &now, sizeof now);
  p->length = length;
  memcpy(p->data, &bytes, sizeof bytes);
}

#ifdef __cplusplus
}
#endif
