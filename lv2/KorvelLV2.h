/*
 * What other parts of the LV2 bundle (the editor UI) and test hosts rely on: the URIs
 * the Turtle files declare, and what lies behind the instance handle.
 *
 * The LV2_Handle that the plug-in returns, and that a UI receives through instance
 * access, is an AudioUnit: a plug-in interface whose Lookup hands out the component's
 * handlers, so AudioUnitGetProperty and AudioUnitSetProperty work on it directly. Those
 * handlers run under the plug-in's process-wide lock (the same one its main-queue thread
 * holds), except the real-time MIDI handler, which never takes it. The handle has no
 * Open or Close: the LV2 host owns the instance's life.
 */
#ifndef KORVEL_LV2_KORVELLV2_H
#define KORVEL_LV2_KORVELLV2_H

#define KORVEL_LV2_URI "urn:korvel:lv2"
#define KORVEL_LV2_UI_URI KORVEL_LV2_URI "#ui"
#define KORVEL_LV2_UNIQUE_ID_KEY KORVEL_LV2_URI "#tvUniqueID"
#define KORVEL_LV2_CONNECTED_KEY KORVEL_LV2_URI "#tvConnected"
#define KORVEL_LV2_TRACK_NAME_KEY KORVEL_LV2_URI "#tvTrackName"

enum KorvelLV2Port { KorvelLV2Port_MIDIIn = 0, KorvelLV2Port_MIDIOut = 1 };

#endif
