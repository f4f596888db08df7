/*
 * The published component-interface types of the host platform, at the field order,
 * sizes and alignment they have on a 64-bit desktop (x86-64), so that a host written
 * against the platform's headers and this plug-in agree on every byte that crosses the
 * boundary. Plain C: hosts in any language can include it.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t OSStatus;
typedef uint32_t OSType;
typedef uint8_t Boolean;
typedef uint8_t Byte;
typedef double Float64;
typedef float Float32;

typedef uint32_t AudioUnitPropertyID;
typedef uint32_t AudioUnitScope;
typedef uint32_t AudioUnitElement;
typedef uint32_t AudioUnitParameterID;
typedef float AudioUnitParameterValue;
typedef uint32_t AudioUnitRenderActionFlags;

/* Property-list objects cross the boundary as libplist nodes (plist_t). */
typedef void* CFTypeRef;
typedef void* CFStringRef;
typedef void* CFURLRef;
typedef void* CFArrayRef;
typedef void* CFDictionaryRef;

enum {
  noErr = 0,
  kAudioUnitErr_InvalidProperty = -10879,
};

/* Four-character codes, first character in the most significant byte. */
#define KORVEL_FOURCC(a, b, c, d) \
  ((OSType)(((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d)))

typedef struct AudioComponentDescription {
  OSType componentType;
  OSType componentSubType;
  OSType componentManufacturer;
  uint32_t componentFlags;
  uint32_t componentFlagsMask;
} AudioComponentDescription;

typedef OSStatus (*AudioComponentMethod)(void* self, ...);

struct AudioComponentPlugInInterface;
/* The handle a host holds for an instance is the plug-in interface pointer itself. */
typedef struct AudioComponentPlugInInterface* AudioComponentInstance;
typedef AudioComponentInstance AudioUnit;

typedef struct AudioComponentPlugInInterface {
  OSStatus (*Open)(void* self, AudioComponentInstance mInstance);
  OSStatus (*Close)(void* self);
  AudioComponentMethod (*Lookup)(int16_t selector);
  void* reserved;
} AudioComponentPlugInInterface;

typedef AudioComponentPlugInInterface* (*AudioComponentFactoryFunction)(
    const AudioComponentDescription* inDesc);

typedef struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  uint32_t mFormatID;
  uint32_t mFormatFlags;
  uint32_t mBytesPerPacket;
  uint32_t mFramesPerPacket;
  uint32_t mBytesPerFrame;
  uint32_t mChannelsPerFrame;
  uint32_t mBitsPerChannel;
  uint32_t mReserved;
} AudioStreamBasicDescription;

enum {
  kAudioFormatLinearPCM = KORVEL_FOURCC('l', 'p', 'c', 'm'),
  kAudioFormatFlagIsFloat = 1u << 0,
  kAudioFormatFlagIsPacked = 1u << 3,
  kAudioFormatFlagIsNonInterleaved = 1u << 5,
};

typedef struct SMPTETime {
  int16_t mSubframes;
  int16_t mSubframeDivisor;
  uint32_t mCounter;
  uint32_t mType;
  uint32_t mFlags;
  int16_t mHours;
  int16_t mMinutes;
  int16_t mSeconds;
  int16_t mFrames;
} SMPTETime;

typedef struct AudioTimeStamp {
  Float64 mSampleTime;
  uint64_t mHostTime;
  Float64 mRateScalar;
  uint64_t mWordClockTime;
  SMPTETime mSMPTETime;
  uint32_t mFlags;
  uint32_t mReserved;
} AudioTimeStamp;

typedef struct AudioBuffer {
  uint32_t mNumberChannels;
  uint32_t mDataByteSize;
  void* mData;
} AudioBuffer;

typedef struct AudioBufferList {
  uint32_t mNumberBuffers;
  AudioBuffer mBuffers[1]; /* really mNumberBuffers entries */
} AudioBufferList;

typedef struct AUChannelInfo {
  int16_t inChannels;
  int16_t outChannels;
} AUChannelInfo;

typedef struct AUPreset {
  int32_t presetNumber;
  CFStringRef presetName;
} AUPreset;

/* MIDI packets: timeStamp at 0, length at 8, data at 10, the list's first packet at 4 --
 * the offsets of the platform's 4-byte packing. Each next packet follows data[length]
 * directly, so a packet can start at any address; the types are therefore declared
 * byte-packed, which keeps every offset and makes member access on such packets valid. */
typedef uint64_t MIDITimeStamp;
#pragma pack(push, 1)
typedef struct MIDIPacket {
  MIDITimeStamp timeStamp;
  uint16_t length;
  Byte data[256];
} MIDIPacket;
typedef struct MIDIPacketList {
  uint32_t numPackets;
  MIDIPacket packet[1];
} MIDIPacketList;
#pragma pack(pop)

typedef OSStatus (*AUMIDIOutputCallback)(void* userData, const AudioTimeStamp* timeStamp,
                                         uint32_t midiOutNum, const MIDIPacketList* pktlist);

typedef struct AUMIDIOutputCallbackStruct {
  AUMIDIOutputCallback midiOutputCallback;
  void* userData;
} AUMIDIOutputCallbackStruct;

typedef OSStatus (*HostCallback_GetBeatAndTempo)(void* inHostUserData, Float64* outCurrentBeat,
                                                 Float64* outCurrentTempo);
typedef OSStatus (*HostCallback_GetMusicalTimeLocation)(void* inHostUserData,
                                                        uint32_t* outDeltaSampleOffsetToNextBeat,
                                                        Float32* outTimeSigNumerator,
                                                        uint32_t* outTimeSigDenominator,
                                                        Float64* outCurrentMeasureDownBeat);
typedef OSStatus (*HostCallback_GetTransportState)(void* inHostUserData, Boolean* outIsPlaying,
                                                   Boolean* outTransportStateChanged,
                                                   Float64* outCurrentSampleInTimeLine,
                                                   Boolean* outIsCycling,
                                                   Float64* outCycleStartBeat,
                                                   Float64* outCycleEndBeat);
typedef OSStatus (*HostCallback_GetTransportState2)(
    void* inHostUserData, Boolean* outIsPlaying, Boolean* outIsRecording,
    Boolean* outTransportStateChanged, Float64* outCurrentSampleInTimeLine, Boolean* outIsCycling,
    Float64* outCycleStartBeat, Float64* outCycleEndBeat);

typedef struct HostCallbackInfo {
  void* hostUserData;
  HostCallback_GetBeatAndTempo beatAndTempoProc;
  HostCallback_GetMusicalTimeLocation musicalTimeLocationProc;
  HostCallback_GetTransportState transportStateProc;
  HostCallback_GetTransportState2 transportStateProc2;
} HostCallbackInfo;

typedef struct AudioUnitCocoaViewInfo {
  CFURLRef mCocoaAUViewBundleLocation;
  CFStringRef mCocoaAUViewClass[1];
} AudioUnitCocoaViewInfo;

typedef struct AudioUnitParameterEvent {
  AudioUnitScope scope;
  AudioUnitElement element;
  AudioUnitParameterID parameter;
  uint32_t eventType;
  union {
    struct {
      int32_t startBufferOffset;
      uint32_t durationInFrames;
      AudioUnitParameterValue startValue;
      AudioUnitParameterValue endValue;
    } ramp;
    struct {
      uint32_t bufferOffset;
      AudioUnitParameterValue value;
    } immediate;
  } eventValues;
} AudioUnitParameterEvent;

typedef void (*AudioUnitPropertyListenerProc)(void* inRefCon, AudioUnit inUnit,
                                              AudioUnitPropertyID inID, AudioUnitScope inScope,
                                              AudioUnitElement inElement);

/* Selectors handed to Lookup. */
enum {
  kAudioUnitInitializeSelect = 1,
  kAudioUnitUninitializeSelect = 2,
  kAudioUnitGetPropertyInfoSelect = 3,
  kAudioUnitGetPropertySelect = 4,
  kAudioUnitSetPropertySelect = 5,
  kAudioUnitGetParameterSelect = 6,
  kAudioUnitSetParameterSelect = 7,
  kAudioUnitAddRenderNotifySelect = 15,
  kAudioUnitRemoveRenderNotifySelect = 16,
  kAudioUnitResetSelect = 9,
  kAudioUnitAddPropertyListenerSelect = 10,
  kAudioUnitRemovePropertyListenerSelect = 11,
  kAudioUnitRenderSelect = 14,
  kAudioUnitScheduleParametersSelect = 17,
  kAudioUnitRemovePropertyListenerWithUserDataSelect = 18,
  kMusicDeviceMIDIEventSelect = 0x0101,
  kMusicDeviceSysExSelect = 0x0102,
};

/* Handler signatures: the first argument is always the plug-in interface pointer. */
typedef OSStatus (*AudioUnitInitializeProc)(void* self);
typedef OSStatus (*AudioUnitUninitializeProc)(void* self);
typedef OSStatus (*AudioUnitGetPropertyInfoProc)(void* self, AudioUnitPropertyID prop,
                                                 AudioUnitScope scope, AudioUnitElement elem,
                                                 uint32_t* outDataSize, Boolean* outWritable);
typedef OSStatus (*AudioUnitGetPropertyProc)(void* self, AudioUnitPropertyID prop,
                                             AudioUnitScope scope, AudioUnitElement elem,
                                             void* outData, uint32_t* ioDataSize);
typedef OSStatus (*AudioUnitSetPropertyProc)(void* self, AudioUnitPropertyID prop,
                                             AudioUnitScope scope, AudioUnitElement elem,
                                             const void* inData, uint32_t inDataSize);
typedef OSStatus (*AudioUnitGetParameterProc)(void* self, AudioUnitParameterID param,
                                              AudioUnitScope scope, AudioUnitElement elem,
                                              AudioUnitParameterValue* outValue);
typedef OSStatus (*AudioUnitSetParameterProc)(void* self, AudioUnitParameterID param,
                                              AudioUnitScope scope, AudioUnitElement elem,
                                              AudioUnitParameterValue value,
                                              uint32_t bufferOffsetInFrames);
typedef OSStatus (*AudioUnitResetProc)(void* self, AudioUnitScope scope, AudioUnitElement elem);
typedef OSStatus (*AudioUnitAddPropertyListenerProc)(void* self, AudioUnitPropertyID prop,
                                                     AudioUnitPropertyListenerProc proc,
                                                     void* userData);
typedef OSStatus (*AudioUnitRemovePropertyListenerProc)(void* self, AudioUnitPropertyID prop,
                                                        AudioUnitPropertyListenerProc proc);
typedef OSStatus (*AudioUnitRemovePropertyListenerWithUserDataProc)(
    void* self, AudioUnitPropertyID prop, AudioUnitPropertyListenerProc proc, void* userData);
typedef OSStatus (*AudioUnitRenderProc)(void* self, AudioUnitRenderActionFlags* ioActionFlags,
                                        const AudioTimeStamp* inTimeStamp,
                                        uint32_t inOutputBusNumber, uint32_t inNumberFrames,
                                        AudioBufferList* ioData);
typedef OSStatus (*AudioUnitScheduleParametersProc)(void* self,
                                                    const AudioUnitParameterEvent* events,
                                                    uint32_t numEvents);
typedef OSStatus (*MusicDeviceMIDIEventProc)(void* self, uint32_t status, uint32_t data1,
                                             uint32_t data2, uint32_t offsetSampleFrame);
typedef OSStatus (*MusicDeviceSysExProc)(void* self, const Byte* data, uint32_t length);

/* Scopes. */
enum {
  kAudioUnitScope_Global = 0,
  kAudioUnitScope_Input = 1,
  kAudioUnitScope_Output = 2,
};

/* Standard property IDs used by this component. */
enum {
  kAudioUnitProperty_ClassInfo = 0,
  kAudioUnitProperty_StreamFormat = 8,
  kAudioUnitProperty_ElementCount = 11,
  kAudioUnitProperty_SupportedNumChannels = 13,
  kAudioUnitProperty_MaximumFramesPerSlice = 14,
  kAudioUnitProperty_SetRenderCallback = 23,
  kAudioUnitProperty_HostCallbacks = 27,
  kAudioUnitProperty_CocoaUI = 31,
  kAudioUnitProperty_PresentPreset = 36,
  kAudioUnitProperty_MIDIOutputCallbackInfo = 47,
  kAudioUnitProperty_MIDIOutputCallback = 48,
};

/* Calls a host (or the editor) makes through an instance handle's Lookup. */
OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID prop, AudioUnitScope scope,
                              AudioUnitElement elem, void* outData, uint32_t* ioDataSize);
OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID prop, AudioUnitScope scope,
                              AudioUnitElement elem, const void* inData, uint32_t inDataSize);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layouts other programs rely on. */
#ifdef __cplusplus
#define KORVEL_STATIC_ASSERT static_assert
#else
#define KORVEL_STATIC_ASSERT _Static_assert
#endif
KORVEL_STATIC_ASSERT(sizeof(OSStatus) == 4, "OSStatus");
KORVEL_STATIC_ASSERT(sizeof(AudioComponentDescription) == 20, "AudioComponentDescription");
KORVEL_STATIC_ASSERT(sizeof(AudioComponentPlugInInterface) == 32, "AudioComponentPlugInInterface");
KORVEL_STATIC_ASSERT(offsetof(AudioComponentPlugInInterface, Open) == 0, "Open");
KORVEL_STATIC_ASSERT(offsetof(AudioComponentPlugInInterface, Close) == 8, "Close");
KORVEL_STATIC_ASSERT(offsetof(AudioComponentPlugInInterface, Lookup) == 16, "Lookup");
KORVEL_STATIC_ASSERT(offsetof(AudioComponentPlugInInterface, reserved) == 24, "reserved");
KORVEL_STATIC_ASSERT(sizeof(AudioStreamBasicDescription) == 40, "AudioStreamBasicDescription");
KORVEL_STATIC_ASSERT(offsetof(AudioStreamBasicDescription, mFormatID) == 8, "mFormatID");
KORVEL_STATIC_ASSERT(offsetof(AudioStreamBasicDescription, mReserved) == 36, "mReserved");
KORVEL_STATIC_ASSERT(sizeof(SMPTETime) == 24, "SMPTETime");
KORVEL_STATIC_ASSERT(offsetof(SMPTETime, mHours) == 16, "mHours");
KORVEL_STATIC_ASSERT(sizeof(AudioTimeStamp) == 64, "AudioTimeStamp");
KORVEL_STATIC_ASSERT(offsetof(AudioTimeStamp, mSMPTETime) == 32, "mSMPTETime");
KORVEL_STATIC_ASSERT(offsetof(AudioTimeStamp, mFlags) == 56, "mFlags");
KORVEL_STATIC_ASSERT(sizeof(AudioBuffer) == 16, "AudioBuffer");
KORVEL_STATIC_ASSERT(offsetof(AudioBuffer, mData) == 8, "mData");
KORVEL_STATIC_ASSERT(sizeof(AudioBufferList) == 24, "AudioBufferList");
KORVEL_STATIC_ASSERT(offsetof(AudioBufferList, mBuffers) == 8, "mBuffers");
KORVEL_STATIC_ASSERT(sizeof(AUChannelInfo) == 4, "AUChannelInfo");
KORVEL_STATIC_ASSERT(sizeof(AUPreset) == 16, "AUPreset");
KORVEL_STATIC_ASSERT(offsetof(AUPreset, presetName) == 8, "presetName");
KORVEL_STATIC_ASSERT(sizeof(AUMIDIOutputCallbackStruct) == 16, "AUMIDIOutputCallbackStruct");
KORVEL_STATIC_ASSERT(offsetof(AUMIDIOutputCallbackStruct, userData) == 8, "userData");
KORVEL_STATIC_ASSERT(sizeof(HostCallbackInfo) == 40, "HostCallbackInfo");
KORVEL_STATIC_ASSERT(offsetof(HostCallbackInfo, transportStateProc2) == 32, "transportStateProc2");
KORVEL_STATIC_ASSERT(sizeof(AudioUnitCocoaViewInfo) == 16, "AudioUnitCocoaViewInfo");
KORVEL_STATIC_ASSERT(offsetof(AudioUnitCocoaViewInfo, mCocoaAUViewClass) == 8, "mCocoaAUViewClass");
KORVEL_STATIC_ASSERT(offsetof(MIDIPacket, timeStamp) == 0, "timeStamp");
KORVEL_STATIC_ASSERT(offsetof(MIDIPacket, length) == 8, "length");
KORVEL_STATIC_ASSERT(offsetof(MIDIPacket, data) == 10, "data");
KORVEL_STATIC_ASSERT(offsetof(MIDIPacketList, numPackets) == 0, "numPackets");
KORVEL_STATIC_ASSERT(offsetof(MIDIPacketList, packet) == 4, "packet");
KORVEL_STATIC_ASSERT(sizeof(AudioUnitParameterEvent) == 32, "AudioUnitParameterEvent");
