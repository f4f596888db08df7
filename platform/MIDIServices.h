/*
 * The MIDI services the plug-in and the companion use (the platform's CoreMIDI calls),
 * standing on JACK. One JACK client per process, named after the first client created;
 * each output port is a JACK MIDI output port; destinations are the JACK MIDI input
 * ports of the graph, in jack_get_ports order, and a destination's unique ID is its
 * "urn:x-midi:unique-id" metadata (decimal text of the signed 32-bit ID; none means 0).
 *
 * References are small integer handles, never pointers: a reference to something that
 * has gone away is simply not found, so a late call through a stale handle is harmless.
 * Without a running JACK server, client creation fails, the handles stay 0 and nothing
 * is sent.
 */
#pragma once

#include <cstdint>
#include <functional>

#include "platform/AudioComponent.h"

typedef uint32_t MIDIObjectRef;
typedef MIDIObjectRef MIDIClientRef;
typedef MIDIObjectRef MIDIPortRef;
typedef MIDIObjectRef MIDIEndpointRef;
typedef int32_t MIDINotificationMessageID;

enum : MIDINotificationMessageID { kMIDIMsgSetupChanged = 1 };

struct MIDINotification {
  MIDINotificationMessageID messageID;
  uint32_t messageSize;
};

/* Property names. */
extern const char* const kMIDIPropertyUniqueID;

/* Called on the MIDI service's own notification thread, never concurrently for one
 * client, and never again once MIDIClientDispose has returned. */
using MIDINotifyBlock = std::function<void(const MIDINotification*)>;
/* Called on the MIDI service's reader thread (not JACK's real-time thread) with each
 * received JACK MIDI event as a one-packet list. */
using MIDIReadBlock = std::function<void(const MIDIPacketList*)>;

enum : OSStatus {
  kMIDIServerStartErr = -10844,
  kMIDIObjectNotFound = -10842,
  kMIDIUnknownProperty = -10835,
  kMIDIInvalidClient = -10830,
  kMIDIInvalidPort = -10831,
};

OSStatus MIDIClientCreateWithBlock(const char* name, MIDIClientRef* outClient,
                                   MIDINotifyBlock notify);
OSStatus MIDIClientDispose(MIDIClientRef client);
OSStatus MIDIOutputPortCreate(MIDIClientRef client, const char* name, MIDIPortRef* outPort);
OSStatus MIDIPortDispose(MIDIPortRef port);
/* A virtual destination: a JACK MIDI input port of this process's client. */
OSStatus MIDIDestinationCreateWithBlock(MIDIClientRef client, const char* name,
                                        MIDIEndpointRef* outDest, MIDIReadBlock read);
OSStatus MIDIEndpointDispose(MIDIEndpointRef endpoint);

unsigned long MIDIGetNumberOfDestinations(void);
/* A number that changes whenever the destinations or their unique IDs may have changed:
 * a search that found nothing need not be repeated while it stays the same. */
uint64_t MIDIGetDestinationsGeneration(void);
MIDIEndpointRef MIDIGetDestination(unsigned long index);
OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef obj, const char* propertyID, int32_t* outValue);
OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef obj, const char* propertyID, int32_t value);

/* Delivers each packet of the list as one JACK MIDI event on the port, in order, in the
 * next process cycle; the port is connected to `dest` first if it is not already. Never
 * call from a real-time thread. */
OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist);
