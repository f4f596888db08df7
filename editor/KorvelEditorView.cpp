#include "editor/KorvelEditorView.h"

#include <chrono>
#include <cstring>

#include "platform/UnicodeText.h"

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
      _frame(frame) {
  std::memset(_ccValues, 0, sizeof _ccValues);
  std::memset(_ccTriggered, 0, sizeof _ccTriggered);
  _holdsInstance = Hold(_audioUnit, 1);
  if (_audioUnit != nullptr) _uniqueID = getScalar<uint32_t>(kKorvelProperty_UniqueID, 0);
}

KorvelEditorView::~KorvelEditorView() {
  _timer.reset();
  if (_holdsInstance) Hold(_audioUnit, 0);
}

bool KorvelEditorView::Hold(AudioUnit unit, uint32_t take) {
  return unit != nullptr &&
         AudioUnitSetProperty(unit, kKorvelProperty_EditorHold, kAudioUnitScope_Global, 0, &take,
                              sizeof take) == noErr;
}

void KorvelEditorView::setAudioUnit(AudioUnit unit) {
  const bool holds = Hold(unit, 1);
  if (_holdsInstance) Hold(_audioUnit, 0);
  _audioUnit = unit;
  _holdsInstance = holds;
}

bool KorvelEditorView::instanceClosed() {
  return _holdsInstance && getScalar<uint32_t>(kKorvelProperty_EditorHold, 1) == 0;
}

void KorvelEditorView::setFrameSize(double width, double height) {
  _frame.width = width;
  _frame.height = height;
}

void KorvelEditorView::viewDidMoveToWindow(const KorvelWindowServices* window) {
  // The old timer goes first, so that a view moved between windows never runs two.
  _timer.reset();
  if (window == nullptr) {
    _window.reset();
    return;
  }
  _window = *window;
  _timer = std::make_unique<RefreshTimer>(*_window, kRefreshInterval, [this] { tick(); });
}

void KorvelEditorView::setNeedsDisplay() {
  if (_window && _window->setNeedsDisplay != nullptr) {
    _window->setNeedsDisplay(_window->context, reinterpret_cast<KorvelView*>(this));
  }
}

void KorvelEditorView::copyToClipboard(const std::string& text) {
  if (_window && _window->setClipboardText != nullptr) {
    _window->setClipboardText(_window->context, text.c_str());
  }
}

OSStatus KorvelEditorView::getProperty(AudioUnitPropertyID id, void* data, uint32_t size) {
  return AudioUnitGetProperty(_audioUnit, id, kAudioUnitScope_Global, 0, data, &size);
}

OSStatus KorvelEditorView::setProperty(AudioUnitPropertyID id, const void* data, uint32_t size) {
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
    if (korvel::IsValidUTF8(std::string_view(name, length))) {
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
