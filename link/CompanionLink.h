/*
 * The instance's side of the companion link: the connection and active-track files, and
 * the MIDI link with its timers.
 */
#pragma once

#include "record/KorvelInstance.h"

void KR_WriteConnectionFile(KorvelInstance* inst);
void KR_ReadConnectionFile(KorvelInstance* inst);
void KR_CheckActiveTrack(KorvelInstance* inst);
void KR_SetupMIDIAndTimer(KorvelInstance* inst);
void KR_TeardownMIDIAndTimer(KorvelInstance* inst);
void KR_FindDestination(KorvelInstance* inst);
void KR_SendSysEx(KorvelInstance* inst, unsigned char command);
void KR_LinkTick(KorvelInstance* inst);
