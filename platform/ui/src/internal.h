// Internal state of the user-interface family, shared by its source files.
#pragma once

#include <cairo.h>

#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/drawrecord.h"
#include "platform/kernel.h"
#include "platform/ui.h"

namespace ui {

enum class Kind { Generic, Dialog, Button, Edit, Static, ListView };

struct ScrollState {
  int min = 0;
  int max = 0;
  int page = 0;
  int pos = 0;
};

// Per-class state of a control; each control class keeps its own subclass.
struct ControlState {
  virtual ~ControlState() = default;
};

struct DialogState {
  bool modal = false;
  bool ended = false;
  INT_PTR result = 0;
  int templateId = 0;
  int baseX = 8;
  int baseY = 16;
  HWND lastFocus = nullptr;  // focus to give back when the dialog is active again
  PLATFORM_PRETRANSLATE hook = nullptr;
  void* hookContext = nullptr;
  bool messageBox = false;
  UINT mbType = 0;
  std::u16string mbText;
  UINT defaultId = 0;  // from DM_SETDEFID or the template's default push button
  HFONT ownedFont = nullptr;
};

// Wipes a text's storage, its unused room included, and empties it.
void wipeText(std::u16string& text);

struct Window {
  // A window's text may be a password: wiped when the window goes.
  ~Window() { wipeText(text); }
  HWND hwnd = nullptr;
  Kind kind = Kind::Generic;
  std::u16string className;
  HWND parent = nullptr;
  HWND owner = nullptr;
  DWORD style = 0;
  DWORD exStyle = 0;
  LONG_PTR id = 0;
  std::u16string text;
  RECT rect{};  // top level: screen coordinates; child: parent's client coordinates
  WNDPROC proc = nullptr;
  LONG_PTR userData = 0;
  LONG_PTR msgResult = 0;
  DLGPROC dlgProc = nullptr;
  LONG_PTR dlgUser = 0;
  HINSTANCE instance = nullptr;
  HFONT font = nullptr;
  HBRUSH classBackground = nullptr;
  std::vector<HWND> children;  // z-order from the top: creation order
  bool destroyed = false;
  ScrollState scroll[2];
  std::unique_ptr<ControlState> ctl;
  std::unique_ptr<DialogState> dlg;
};

// ---- windows (window.cpp) ----
Window* find(HWND hwnd);                   // live windows only
Window* findAny(HWND hwnd);                // also windows being destroyed
RECT clientInsets(const Window& w);        // left/top/right/bottom widths of the frame
RECT clientRectInParent(const Window& w);  // client area in parent-client coordinates
POINT clientOriginOnScreen(const Window& w);
HWND topLevelOf(HWND hwnd);
void setFocusInternal(HWND hwnd);
LRESULT send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void notifyParent(Window& w, WORD code);  // WM_COMMAND with the control's id
void updateKeyState(const MSG& msg);
BYTE* keyState();
void setToggle(int vk, bool on);

// Queue of the calling thread.
bool popMessage(MSG* msg, HWND filter, bool remove);
bool postTimerMessages();  // posts WM_TIMER for every due timer; true when any
bool hasPendingTimers();
long long nextTimerDelay();  // ms until this thread's next timer is due, -1 when none
void releaseGraveyard();
int dispatchDepth();

// ---- dialog manager (dialog.cpp) ----
INT_PTR runModal(HWND dialog, HWND owner);
void updateDefaultLook(HWND dialog, HWND newFocus);
LRESULT dialogClassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
Window* dialogOf(HWND control);

// ---- controls (controls.cpp, edit.cpp, listview.cpp) ----
LRESULT buttonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT staticProc(HWND, UINT, WPARAM, LPARAM);
LRESULT editProc(HWND, UINT, WPARAM, LPARAM);
LRESULT listViewProc(HWND, UINT, WPARAM, LPARAM);
// The brush and DC colours a control paints its background with
// (WM_CTLCOLOR* to the parent, or the default).
HBRUSH controlColor(Window& w, HDC hdc, UINT msg);
// The mask text a password edit shows (and the user sees).
std::u16string editDisplayText(HWND edit);
std::u16string clipboardText();
void setClipboardText(const std::u16string& text);
// List view rows for the user: texts and selection, and the row rectangles.
int listViewRowCount(HWND list);
std::vector<std::u16string> listViewRow(HWND list, int row);
bool listViewRowSelected(HWND list, int row);
bool listViewRowPoint(HWND list, int row, POINT* clientPoint);  // scrolls it into view

// ---- GDI (gdi.cpp, text.cpp) ----
struct Bitmap {
  cairo_surface_t* surface = nullptr;
  int width = 0;
  int height = 0;
  // The text the picture shows, for the scripted user (a person reads the
  // picture): what was drawn into it as text, or a bitmap resource's
  // PICTURETEXT companion.
  std::u16string shows;
};
struct Dc {
  cairo_surface_t* surface = nullptr;  // the target
  bool memory = false;
  HWND window = nullptr;
  int originX = 0;  // logical (0,0) in surface pixels
  int originY = 0;
  RECT clip{};  // in surface pixels
  HGDIOBJ pen = nullptr;
  HGDIOBJ brush = nullptr;
  HGDIOBJ font = nullptr;
  HGDIOBJ bitmap = nullptr;
  COLORREF textColor = 0;
  COLORREF bkColor = 0xFFFFFF;
  int bkMode = OPAQUE;
  POINT current{};
  bool ownsSurface = false;
  std::u16string* shown = nullptr;  // collects the text drawn (an owner-drawn control's paint)
  std::u16string lastShown;         // the text drawn last into `shown`
};
Dc* dcOf(HDC hdc);
HDC makeDc(cairo_surface_t* surface, bool ownsSurface, HWND window, int originX, int originY, RECT clip);
HDC makeWindowDc(HWND hwnd);  // a throwaway surface of the window's client size
Bitmap* bitmapOf(HGDIOBJ bitmap);
HBITMAP makeBitmap(int width, int height);
void fillRectColor(Dc& dc, RECT r, COLORREF color);  // logical coordinates
// Notes text drawn into a DC: for the collector of the paint under way and
// for the bitmap selected into it.
void noteShownText(Dc& dc, const char16_t* text, int count);
// What a control shows as a picture (owner-drawn text, a bitmap's text).
std::u16string controlShown(HWND control);
void drawEdgeInternal(HDC hdc, RECT r, UINT edge, UINT flags);
HFONT defaultGuiFont();

// ---- the draw record (drawrecord.cpp) ----
bool drawRecording();
void recordDraw(PlatformDrawOp op);
// The start of a record entry for a call on this DC: DC, target bitmap,
// background mode, font and text colour (gdi.cpp).
PlatformDrawOp drawOpFor(HDC hdc, PlatformDrawOp::Kind kind);
// Keeps the calls one drawing call makes on its own out of the record.
struct DrawRecordPause {
  DrawRecordPause();
  ~DrawRecordPause();
  DrawRecordPause(const DrawRecordPause&) = delete;
  DrawRecordPause& operator=(const DrawRecordPause&) = delete;
  bool was;
};

// ---- pictures (render.cpp) ----
// HDC for BeginPaint while a window is being drawn for a picture, else null.
HDC currentPaintDc(HWND hwnd);

// ---- the scripted user (user.cpp) ----
// Called by a modal loop when its queue is empty: the user acts on the dialog
// (posts input, advances the clock) and returns true, or returns false when it
// has nothing to do there; the loop then ends the dialog as cancelled.
bool userIdle(HWND dialog);
void userDialogClosed(HWND dialog);
bool userInstalled();

}  // namespace ui
