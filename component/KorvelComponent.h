/*
 * The component's entry points: the factory the host calls, and the handlers KR_Lookup
 * hands out (lifecycle, properties and saved state, MIDI input). They wire the record, the
 * UID registry and the companion link together.
 */
#pragma once

#include "record/KorvelInstance.h"

/* --- Component entry and lifecycle --- */
extern "C" __attribute__((visibility("default"))) AudioComponentPlugInInterface* KorvelAUFactory(
    const AudioComponentDescription* desc);
OSStatus KR_Open(void* self, AudioComponentInstance instance);
OSStatus KR_Close(void* self);
AudioComponentMethod KR_Lookup(int16_t selector);
OSStatus KR_Init(void* self);
OSStatus KR_Uninit(void* self);
OSStatus KR_GetParam(void* self, AudioUnitParameterID param, AudioUnitScope scope,
                     AudioUnitElement elem, AudioUnitParameterValue* outValue);
OSStatus KR_SetParam(void* self, AudioUnitParameterID param, AudioUnitScope scope,
                     AudioUnitElement elem, AudioUnitParameterValue value, uint32_t offset);
OSStatus KR_Sched(void* self, const AudioUnitParameterEvent* events, uint32_t count);
OSStatus KR_AddListener(void* self, AudioUnitPropertyID prop, AudioUnitPropertyListenerProc proc,
                        void* userData);
OSStatus KR_RemoveListener(void* self, AudioUnitPropertyID prop,
                           AudioUnitPropertyListenerProc proc);
OSStatus KR_RemoveListenerUD(void* self, AudioUnitPropertyID prop,
                             AudioUnitPropertyListenerProc proc, void* userData);
OSStatus KR_SysEx(void* self, const Byte* data, uint32_t length);

/* --- Properties and saved state --- */
OSStatus KR_GetPropertyInfo(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                            AudioUnitElement elem, uint32_t* outDataSize, Boolean* outWritable);
OSStatus KR_GetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                        AudioUnitElement elem, void* outData, uint32_t* ioDataSize);
OSStatus KR_SetProperty(void* self, AudioUnitPropertyID prop, AudioUnitScope scope,
                        AudioUnitElement elem, const void* inData, uint32_t inDataSize);

/* --- MIDI input (real-time thread) --- */
OSStatus KR_MIDIEvent(void* self, uint32_t status, uint32_t data1, uint32_t data2,
                      uint32_t offsetSampleFrame);
OSStatus KR_Render(void* self, AudioUnitRenderActionFlags* ioActionFlags,
                   const AudioTimeStamp* inTimeStamp, uint32_t inOutputBusNumber,
                   uint32_t inNumberFrames, AudioBufferList* ioData);
OSStatus KR_Reset(void* self, AudioUnitScope scope, AudioUnitElement elem);
