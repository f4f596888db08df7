/*
 * What the LV2 plug-in hands its UI through instance access
 * (http://lv2plug.in/ns/ext/instance-access): the feature's data is the plug-in's
 * LV2_Handle, and that handle points to a struct whose first member is this one.
 *
 * The UI talks to the component only through its properties (AudioUnitGetProperty /
 * AudioUnitSetProperty on `audioUnit`), as the component's own view does. Those calls
 * touch instance state that the process-wide main-queue thread also touches, so the UI
 * makes them between lockInstanceState and unlockInstanceState: the same lock that the
 * main-queue thread and every LV2 call touching instance state hold. Either function
 * may be null when the plug-in has no such thread; the UI then calls without a lock.
 *
 * Plain C, shared by the plug-in and UI shared objects; both live in the same process.
 */
#ifndef KORVEL_LV2_KORVELLV2INSTANCE_H
#define KORVEL_LV2_KORVELLV2INSTANCE_H

#include "platform/AudioComponent.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KorvelLV2InstanceAccess {
  AudioUnit audioUnit;               /* the component instance's handle */
  void (*lockInstanceState)(void);   /* process-wide, not recursive */
  void (*unlockInstanceState)(void);
} KorvelLV2InstanceAccess;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
