/*
 * The plug-in's editor: a view that shows one instance's live MIDI state and its link
 * to the companion application, refreshed ten times a second while it is in a window.
 *
 * The view reaches its instance only through the component's custom properties
 * (AudioUnitGetProperty / AudioUnitSetProperty on the handle). It never opens or closes
 * the instance, but it holds a reference on it for as long as it exists (property
 * kKorvelProperty_EditorHold): a host may close the instance before it destroys the
 * view, and the view then shows it as not connected. Everything here runs on the host's
 * main thread.
 */
#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "editor/Geometry.h"
#include "editor/RefreshTimer.h"
#include "editor/ViewABI.h"
#include "interface/KorvelProperties.h"

namespace korvel::editor {

struct EditorViewProbe;  // tests and benchmarks: direct access to the fields

class KorvelEditorView {
 public:
  KorvelEditorView(const Rect& frame, AudioUnit audioUnit);
  ~KorvelEditorView();
  KorvelEditorView(const KorvelEditorView&) = delete;
  KorvelEditorView& operator=(const KorvelEditorView&) = delete;

  static constexpr bool isFlipped() { return true; }

  const Rect& frame() const { return _frame; }
  Rect bounds() const { return Rect{0, 0, _frame.width, _frame.height}; }
  void setFrameSize(double width, double height);
  uint32_t autoresizingMask() const { return _autoresizingMask; }
  void setAutoresizingMask(uint32_t mask) { _autoresizingMask = mask; }

  /* Put into a window (services) or taken out of it (nullptr): starts or stops the
   * refresh timer. */
  void viewDidMoveToWindow(const KorvelWindowServices* window);
  bool isInWindow() const { return _window.has_value(); }

  /* The 0.1-second refresh: read the instance, poll the connection file, redraw. */
  void tick();
  void pollConnectionFile();

  void drawRect(cairo_t* cr);
  void drawConnectViewAt(cairo_t* cr, double top, double width, double height);
  void drawCCGridAt(cairo_t* cr, double top, double width, double height);

  /* A press at (x, y) in view coordinates. */
  void mouseDown(double x, double y);

  AudioUnit audioUnit() const { return _audioUnit; }
  void setAudioUnit(AudioUnit unit);

  /* Read-only views of the state shown (for hosts' diagnostics and tests). */
  bool isConnected() const { return _isConnected; }
  bool isActiveTrack() const { return _isActiveTrack; }
  uint32_t uniqueID() const { return _uniqueID; }
  const std::string& trackName() const { return _trackName; }
  const std::vector<std::string>& articulationNames() const { return _articulationNames; }
  const std::vector<int32_t>& articulationNotes() const { return _articulationNotes; }

 private:
  friend struct EditorViewProbe;

  void setNeedsDisplay();
  void copyToClipboard(const std::string& text);
  OSStatus getProperty(AudioUnitPropertyID id, void* data, uint32_t size);
  OSStatus setProperty(AudioUnitPropertyID id, const void* data, uint32_t size);
  template <class T>
  T getScalar(AudioUnitPropertyID id, T prefill);
  void readInstance();
  // Takes (1) or gives back (0) the view's reference on the instance behind `unit`;
  // true when the instance took it (a host's proxy may not pass it on).
  static bool Hold(AudioUnit unit, uint32_t take);
  // Whether the host has closed the instance this view still holds.
  bool instanceClosed();

  std::unique_ptr<RefreshTimer> _timer;
  uint8_t _ccValues[kKorvelChannels][kKorvelControllers];
  uint8_t _ccTriggered[kKorvelControllers];
  int32_t _activeArticulation;
  int32_t _lastVelocity;
  uint32_t _uniqueID;
  bool _isConnected;
  bool _isActiveTrack;
  std::string _trackName;
  std::vector<std::string> _articulationNames;
  std::vector<int32_t> _articulationNotes;
  AudioUnit _audioUnit;
  bool _holdsInstance = false;

  Rect _frame;
  uint32_t _autoresizingMask = 0;
  std::optional<KorvelWindowServices> _window;
};

}  // namespace korvel::editor
