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

#ifdef __cplusplus
}
#endif
