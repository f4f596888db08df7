/*
 * The editor's plain-C interface for hosts.
 *
 * A host asks the component for its view description (the CocoaUI property, or the
 * exported Korvel_GetCocoaUIInfo): a file:// URL of the bundle and the view-factory
 * class name "KorvelViewFactory". It then looks the factory up by that name with
 * Korvel_ViewFactoryNamed and makes one view per editor window with uiViewForAudioUnit.
 *
 * Everything here is plain C; no C++ type crosses it. All calls are made on the host's
 * main (user-interface) thread.
 *
 * Life of a view:
 *   KorvelView* v = factory->uiViewForAudioUnit(unit, w, h);   caller owns v
 *   factory->view->attachToWindow(v, &services);   refresh timer starts (10 Hz)
 *   ... on services.setNeedsDisplay: factory->view->draw(v, cr) ...
 *   ... on a button press: factory->view->mouseDown(v, x, y) ...
 *   factory->view->detachFromWindow(v);            refresh timer stops
 *   factory->view->release(v);                     also stops the timer
 *
 * Coordinates are the view's own: origin at the top-left corner, y growing downward,
 * one unit per point (a cairo_t with the identity matrix draws one point per pixel).
 * The view never owns the AudioUnit it shows; it must be released before the instance
 * is closed, or be given a null unit with setAudioUnit first.
 */
#pragma once

#include <cairo.h>
#include <stdint.h>

#include "platform/AudioComponent.h"
#include "platform/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque editor view. */
typedef struct KorvelView KorvelView;

typedef void (*KorvelTimerCallback)(void* data);

/*
 * What the window that holds a view does for it. The view copies the struct when it is
 * attached; `context` must stay valid until the view is detached or released.
 *
 *  setNeedsDisplay      the whole view needs to be drawn again (coalescing is the
 *                       host's business). May be null: nothing is redrawn.
 *  setClipboardText     replace the clipboard's contents with one UTF-8 plain-text
 *                       string. May be null: copying does nothing.
 *  startRepeatingTimer  call fire(data) every intervalSeconds on the main thread until
 *  stopTimer            stopTimer is called with the token returned; after stopTimer
 *                       returns, fire is never called again for that token. Both null:
 *                       the view runs its timer on the plug-in's main queue instead
 *                       (Korvel_MainQueueFD / Korvel_RunMainQueue). A zero token means
 *                       the timer could not be made.
 */
typedef struct KorvelWindowServices {
  void* context;
  void (*setNeedsDisplay)(void* context, KorvelView* view);
  void (*setClipboardText)(void* context, const char* utf8Text);
  uint64_t (*startRepeatingTimer)(void* context, double intervalSeconds, KorvelTimerCallback fire,
                                  void* data);
  void (*stopTimer)(void* context, uint64_t timer);
} KorvelWindowServices;

typedef struct KorvelViewRect {
  double x;
  double y;
  double width;
  double height;
} KorvelViewRect;

/* Autoresizing mask bits: a view made by the factory follows its container both ways. */
enum {
  kKorvelViewWidthSizable = 2,
  kKorvelViewHeightSizable = 16,
};

typedef struct KorvelViewInterface {
  KorvelViewRect (*frame)(const KorvelView* view);
  /* The container was resized (the view is width- and height-sizable). */
  void (*setFrameSize)(KorvelView* view, double width, double height);
  uint32_t (*autoresizingMask)(const KorvelView* view);
  /* Paints the whole view into cr, in the view's coordinates. */
  void (*draw)(KorvelView* view, cairo_t* cr);
  /* A primary-button press at (x, y) in view coordinates. */
  void (*mouseDown)(KorvelView* view, double x, double y);
  /* The view was put into a window (services non-null) or taken out of it (null). */
  void (*attachToWindow)(KorvelView* view, const KorvelWindowServices* services);
  void (*detachFromWindow)(KorvelView* view);
  /* One refresh now, as the timer does: read the instance, poll the connection file,
   * request a redraw. */
  void (*tick)(KorvelView* view);
  AudioUnit (*audioUnit)(const KorvelView* view);
  void (*setAudioUnit)(KorvelView* view, AudioUnit unit);
  /* Resizes the view to width x height, paints it off screen (ARGB32) and writes a PNG
   * file. Returns 0 on success, -1 on failure. */
  int (*renderPNG)(KorvelView* view, int width, int height, const char* path);
  /* Stops the timer and frees the view. */
  void (*release)(KorvelView* view);
} KorvelViewInterface;

typedef struct KorvelViewFactoryInterface {
  uint32_t (*interfaceVersion)(void); /* 0 */
  const char* (*description)(void);   /* "Korvel View" */
  /* A new view of at least 340 x 500 for the instance; the caller owns it (release). */
  KorvelView* (*uiViewForAudioUnit)(AudioUnit unit, double preferredWidth, double preferredHeight);
  const KorvelViewInterface* view; /* operations on the views it makes */
} KorvelViewFactoryInterface;

/* The factory whose class name the CocoaUI description gives, or null for another name. */
KORVEL_EXPORT const KorvelViewFactoryInterface* Korvel_ViewFactoryNamed(const char* className);

#ifdef __cplusplus
} /* extern "C" */
#endif
