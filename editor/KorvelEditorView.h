/*
 * The plug-in's editor: a view that shows one instance's live MIDI state and its link
 * to the companion application, refreshed ten times a second while it is in a window.
 *
 * The view reaches its instance only through the component's custom properties
 * (AudioUnitGetProperty / AudioUnitSetProperty on the handle). It never opens or closes
 * the instance, but it holds a reference on the record for as long as it exists: a host
 * may close the instance before it destroys the view, and the view then shows it as not
 * connected. Everything here runs on the host's main thread.
 */
#ifndef KORVEL_EDITOR_KORVELEDITORVIEW_H
#define KORVEL_EDITOR_KORVELEDITORVIEW_H

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/KorvelInstance.h"
#include "editor/Geometry.h"
#include "editor/RefreshTimer.h"
#include "editor/ViewABI.h"

namespace korvel::editor {

struct EditorViewProbe;  // tests and benchmarks: direct access to the fields

class KorvelEditorView {
 public:
  KorvelEditorView(const Rect& frame, AudioUnit audioUnit);
  ~KorvelEditorView();
  KorvelEditorView(const KorvelEditorView&) = delete;
  KorvelEditorView& operator=(const KorvelEditorView&) = delete;

  static constexpr bool isFlipped() { return true; }

  const Rect& frame() const { return frame_; }
  Rect bounds() const { return Rect{0, 0, frame_.width, frame_.height}; }
  void setFrameSize(double width, double height);
  uint32_t autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(uint32_t mask) { autoresizingMask_ = mask; }

  /* Put into a window (services) or taken out of it (nullptr): starts or stops the
   * refresh timer. */
  void viewDidMoveToWindow(const KorvelWindowServices* window);
  bool isInWindow() const { return window_.has_value(); }

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
  // Whether the host has closed the instance this view still holds.
  bool instanceClosed() const;

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

  Rect frame_;
  uint32_t autoresizingMask_ = 0;
  std::optional<KorvelWindowServices> window_;
};

}  // namespace korvel::editor

#endif
