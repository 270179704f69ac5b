// Choice of the windows to move, and their placement on the monitor under the mouse cursor.
#pragma once

#include <windows.h>

#include <QObject>

#include <string>
#include <vector>

class MoveNewWindowToActivateMonitor : public QObject {
  Q_OBJECT
};

// UTF-16 text as the W calls take it.
using WideString = std::basic_string<WCHAR>;

// --- classification: 0 means the window may be moved ---------------------------------------------

enum WindowClass {
  kMovable = 0,
  kMinimized = 2,
  kToolWindow = 3,
  kNotVisible = 4,
  kNotRoot = 5,
  kFixedPopup = 6,
  kOwnedByVisible = 7,
  kExcludedByName = 8,
};

int ClassifyWindow(HWND hwnd);
bool IsRootWindow(HWND hwnd);
bool HasVisibleOwnerWithArea(HWND hwnd);
bool IsMovableWindow(HWND hwnd);
bool IsExcludedProcessWindow(HWND hwnd);
// path: the owning process's path, upper-cased.
bool IsExcludedWindow(HWND hwnd, const WideString &path);
bool IsProcessInList(HWND hwnd, const WideString &path, const std::vector<WideString> &list);
bool IsWindowTitleInList(HWND hwnd, const std::vector<WideString> &list);
// Empty when unknown.
WideString GetWindowProcessPath(HWND hwnd);
// Gives a just-created frame-host window a little time to receive its application's content window.
WideString GetWindowProcessPathWithRetry(HWND hwnd);
BOOL CALLBACK ChildWindowEnumProc(HWND child, LPARAM processId);

// --- placement ----------------------------------------------------------------------------------

void MoveWindowToCursorMonitor(HWND hwnd);
void MoveWindowToMonitor(HWND hwnd, HMONITOR target);
// normal: the rectangle to carry; origin: the top-left corner of the current work area in the rectangle's
// coordinates; work: the target work area.
RECT RectOnMonitor(RECT normal, POINT origin, RECT work);
void SizeWindowToRect(HWND hwnd, RECT rect, BOOL keepRestored);
BOOL CALLBACK MonitorEnumProc(HMONITOR monitor, HDC hdc, LPRECT rect, LPARAM list);
