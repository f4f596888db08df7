#include "editor/KorvelEditorView.h"

#include <glib.h>

#include <chrono>
#include <cstring>

namespace korvel::editor {
namespace {

constexpr std::chrono::milliseconds kRefreshInterval{100};

}  // namespace

KorvelEditorView::KorvelEditorView(const Rect& frame, AudioUnit audioUnit)
    : _activeArticulation(-1),
      _lastVelocity(0),
      _uniqueID(0),
      _isConnected(false),
      _isActiveTrack(false),
      _audioUnit(audioUnit),
      frame_(frame) {
  std::memset(_ccValues, 0, sizeof _ccValues);
  std::memset(_ccTriggered, 0, sizeof _ccTriggered);
  if (KorvelInstance* record = KR_RecordOfHandle(_audioUnit)) KR_Retain(record);
  if (_audioUnit != nullptr) _uniqueID = getScalar<uint32_t>(kKorvelProperty_UniqueID, 0);
}

KorvelEditorView::~KorvelEditorView() {
  _timer.reset();
  if (KorvelInstance* record = KR_RecordOfHandle(_audioUnit)) KR_Release(record);
}

void KorvelEditorView::setAudioUnit(AudioUnit unit) {
  if (KorvelInstance* record = KR_RecordOfHandle(unit)) KR_Retain(record);
  if (KorvelInstance* record = KR_RecordOfHandle(_audioUnit)) KR_Release(record);
  _audioUnit = unit;
}

bool KorvelEditorView::instanceClosed() const {
  const KorvelInstance* record = KR_RecordOfHandle(_audioUnit);
  return record != nullptr && KR_IsClosed(record);
}

void KorvelEditorView::setFrameSize(double width, double height) {
  frame_.width = width;
  frame_.height = height;
}

void KorvelEditorView::viewDidMoveToWindow(const KorvelWindowServices* window) {
  // The old timer goes first, so that a view moved between windows never runs two.
  _timer.reset();
  if (window == nullptr) {
    window_.reset();
    return;
  }
  window_ = *window;
  _timer = std::make_unique<RefreshTimer>(*window_, kRefreshInterval, [this] { tick(); });
}

void KorvelEditorView::setNeedsDisplay() {
  if (window_ && window_->setNeedsDisplay != nullptr) {
    window_->setNeedsDisplay(window_->context, reinterpret_cast<KorvelView*>(this));
  }
}

void KorvelEditorView::copyToClipboard(const std::string& text) {
  if (window_ && window_->setClipboardText != nullptr) {
    window_->setClipboardText(window_->context, text.c_str());
  }
}

OSStatus KorvelEditorView::getProperty(AudioUnitPropertyID id, void* data, uint32_t size) {
  if (instanceClosed()) return kAudioUnitErr_InvalidProperty;
  return AudioUnitGetProperty(_audioUnit, id, kAudioUnitScope_Global, 0, data, &size);
}

OSStatus KorvelEditorView::setProperty(AudioUnitPropertyID id, const void* data, uint32_t size) {
  if (instanceClosed()) return kAudioUnitErr_InvalidProperty;
  return AudioUnitSetProperty(_audioUnit, id, kAudioUnitScope_Global, 0, data, size);
}

template <class T>
T KorvelEditorView::getScalar(AudioUnitPropertyID id, T prefill) {
  T value = prefill;
  getProperty(id, &value, sizeof value);  // a get that fills nothing leaves the prefill
  return value;
}

void KorvelEditorView::readInstance() {
  // A failed get of a table writes nothing, so the table keeps its last copy.
  getProperty(kKorvelProperty_CCValues, _ccValues, sizeof _ccValues);
  getProperty(kKorvelProperty_CCTriggered, _ccTriggered, sizeof _ccTriggered);
  _activeArticulation = getScalar<int32_t>(kKorvelProperty_ActiveArticulation, -1);
  _lastVelocity = getScalar<int32_t>(kKorvelProperty_LastVelocity, 0);
  _isConnected = getScalar<uint32_t>(kKorvelProperty_Connected, 0) != 0;
  _isActiveTrack = getScalar<uint32_t>(kKorvelProperty_ActiveTrack, 0) != 0;

  char name[kKorvelTrackNameSize] = {};
  getProperty(kKorvelProperty_TrackName, name, sizeof name);
  if (name[0] != '\0') {
    // An empty name from the instance keeps the one shown; bytes that are not UTF-8
    // leave the view without a name.
    const size_t length = strnlen(name, sizeof name);
    if (g_utf8_validate(name, static_cast<gssize>(length), nullptr)) {
      _trackName.assign(name, length);
    } else {
      _trackName.clear();
    }
  }
  _uniqueID = getScalar<uint32_t>(kKorvelProperty_UniqueID, 0);
}

void KorvelEditorView::tick() {
  if (instanceClosed()) {
    // Nothing to poll for any more: the link ended with the instance.
    _isConnected = false;
    _isActiveTrack = false;
  } else {
    if (_audioUnit != nullptr) readInstance();
    pollConnectionFile();
  }
  setNeedsDisplay();
}

}  // namespace korvel::editor
