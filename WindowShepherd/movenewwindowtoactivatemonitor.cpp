#include "movenewwindowtoactivatemonitor.h"

#include <shellscalingapi.h>

#include <QDebug>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr LONG kMargin = 16;
constexpr int kPathRetries = 29;
constexpr DWORD kPathRetryMs = 5;
constexpr int kMinimizedWaits = 5;
constexpr DWORD kMinimizedWaitMs = 100;

const std::vector<WideString> &systemAppsList() {
  static const std::vector<WideString> list{TEXT("SYSTEMAPPS")};
  return list;
}

const std::vector<std::string> &excludedClassNames() {
  static const std::vector<std::string> list{"SysListView32", "WorkerW",  "Shell_TrayWnd",
                                             "Shell_SecondaryTrayWnd", "Progman", "MsoSplash"};
  return list;
}

const std::vector<WideString> &excludedNameList() {
  static const std::vector<WideString> list{TEXT("POWERTOYS.FANCYZONESEDITOR.EXE"),
                                            TEXT("Windows.UI.Core.CoreWindow"), TEXT("SearchUI.exe")};
  return list;
}

const WideString &frameHostSuffix() {
  static const WideString suffix(TEXT("ApplicationFrameHost.exe"));
  return suffix;
}

WideString upperCased(WideString text) {
  if (!text.empty()) CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

bool endsWithFrameHost(const WideString &path) {
  const WideString &suffix = frameHostSuffix();
  return path.size() >= suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

WideString processImagePath(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, TRUE, pid);
  if (!process) return WideString();
  WCHAR buffer[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  WideString path;
  if (QueryFullProcessImageNameW(process, 0, buffer, &size)) path.assign(buffer, (std::min<DWORD>)(size, MAX_PATH));
  CloseHandle(process);
  return path;
}

LONG clampToLong(int64_t v) {
  return static_cast<LONG>((std::min<int64_t>)((std::max<int64_t>)(v, INT32_MIN), INT32_MAX));
}

LONG clampInto(int64_t v, LONG lo, LONG hi) {
  v = (std::max<int64_t>)(v, lo);
  return static_cast<LONG>((std::min<int64_t>)(v, hi));
}

// One axis of RectOnMonitor. Rectangles come from other programs and may hold any values, so the arithmetic is
// 64-bit and the result is kept inside the work area.
void placeAxis(LONG low, LONG high, LONG origin, LONG workLow, LONG workHigh, LONG &outLow, LONG &outHigh) {
  int64_t length = int64_t(high) - low;
  const int64_t offset = int64_t(low) - origin;
  int64_t start;
  if (offset >= 0 && int64_t(workLow) + offset + length <= workHigh) {
    start = int64_t(workLow) + offset;
  } else {
    start = int64_t(workLow) + kMargin;
    length = (std::min<int64_t>)(length, int64_t(workHigh) - workLow - kMargin);
  }
  outLow = clampInto(start, workLow, workHigh);
  outHigh = clampInto(start + length, workLow, workHigh);
}

RECT shifted(const RECT &r, int64_t dx, int64_t dy) {
  return RECT{clampToLong(r.left + dx), clampToLong(r.top + dy), clampToLong(r.right + dx), clampToLong(r.bottom + dy)};
}

bool dpiIsUniform() {
  std::vector<HMONITOR> monitors;
  EnumDisplayMonitors(nullptr, nullptr, MonitorEnumProc, reinterpret_cast<LPARAM>(&monitors));
  if (monitors.size() < 2) return true;
  UINT firstX = 0, y = 0;
  if (GetDpiForMonitor(monitors[0], MDT_EFFECTIVE_DPI, &firstX, &y) != S_OK) return false;
  for (size_t i = 1; i < monitors.size(); ++i) {
    UINT x = 0;
    if (GetDpiForMonitor(monitors[i], MDT_EFFECTIVE_DPI, &x, &y) != S_OK || x != firstX) return false;
  }
  return true;
}

} // namespace

// --- classification -----------------------------------------------------------------------------

int ClassifyWindow(HWND hwnd) {
  if (IsIconic(hwnd)) return kMinimized;
  const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
  if (!(style & WS_VISIBLE)) return kNotVisible;
  if (exStyle & WS_EX_TOOLWINDOW) return kToolWindow;
  if (!IsRootWindow(hwnd)) return kNotRoot;
  if (style & WS_POPUP) {
    const bool fullCaption = (style & WS_CAPTION) == WS_CAPTION;
    const bool resizableFrame =
        (style & WS_THICKFRAME) && (fullCaption || (style & WS_MINIMIZEBOX) || (style & WS_MAXIMIZEBOX));
    if (!resizableFrame) return kFixedPopup;
  }
  if (HasVisibleOwnerWithArea(hwnd)) return kOwnedByVisible;
  if (IsExcludedProcessWindow(hwnd)) return kExcludedByName;
  return kMovable;
}

bool IsRootWindow(HWND hwnd) { return GetAncestor(hwnd, GA_ROOT) == hwnd; }

bool HasVisibleOwnerWithArea(HWND hwnd) {
  HWND owner = GetWindow(hwnd, GW_OWNER);
  if (!owner || !IsWindowVisible(owner)) return false;
  RECT rect{};
  if (!GetWindowRect(owner, &rect)) return true;
  return rect.top != rect.bottom && rect.left != rect.right;
}

bool IsMovableWindow(HWND hwnd) { return ClassifyWindow(hwnd) == kMovable; }

bool IsExcludedProcessWindow(HWND hwnd) { return IsExcludedWindow(hwnd, upperCased(GetWindowProcessPathWithRetry(hwnd))); }

bool IsExcludedWindow(HWND hwnd, const WideString &path) {
  for (const WideString &entry : systemAppsList())
    if (path.find(entry) != WideString::npos) return true;
  char className[256] = {};
  if (GetClassNameA(hwnd, className, sizeof(className)) == 0) className[0] = 0;
  if (hwnd == GetDesktopWindow() || hwnd == GetShellWindow()) return true;
  for (const std::string &name : excludedClassNames())
    if (name == className) return true;
  return IsProcessInList(hwnd, path, excludedNameList());
}

bool IsProcessInList(HWND hwnd, const WideString &path, const std::vector<WideString> &list) {
  const size_t backslash = path.rfind(WCHAR('\\'));
  for (const WideString &entry : list) {
    const WideString upper = upperCased(entry);
    const size_t at = path.rfind(upper);
    if (at == WideString::npos || backslash == WideString::npos) continue;
    // The last backslash lies right before the entry or inside it: the file name begins with the entry.
    if (int64_t(at) - 1 <= int64_t(backslash) && int64_t(backslash) < int64_t(at + upper.size())) return true;
  }
  return IsWindowTitleInList(hwnd, list);
}

bool IsWindowTitleInList(HWND hwnd, const std::vector<WideString> &list) {
  WCHAR title[255] = {};
  const int length = GetWindowTextW(hwnd, title, 255);
  if (length < 1) return false;
  const WideString upperTitle = upperCased(WideString(title, static_cast<size_t>((std::min)(length, 254))));
  for (const WideString &entry : list)
    if (upperTitle.find(upperCased(entry)) != WideString::npos) return true;
  return false;
}

WideString GetWindowProcessPath(HWND hwnd) {
  DWORD pid = 0;
  if (!GetWindowThreadProcessId(hwnd, &pid)) pid = 0;
  WideString path = processImagePath(pid);
  if (!endsWithFrameHost(path)) return path;
  // A frame-host window: judge the process that owns its content.
  DWORD contentPid = pid;
  EnumChildWindows(hwnd, ChildWindowEnumProc, reinterpret_cast<LPARAM>(&contentPid));
  if (contentPid != pid) return processImagePath(contentPid);
  return path;
}

WideString GetWindowProcessPathWithRetry(HWND hwnd) {
  WideString path = GetWindowProcessPath(hwnd);
  for (int i = 0; i < kPathRetries; ++i) {
    if (!endsWithFrameHost(path)) return path;
    Sleep(kPathRetryMs);
    path = GetWindowProcessPath(hwnd);
  }
  return path;
}

BOOL CALLBACK ChildWindowEnumProc(HWND child, LPARAM processId) {
  DWORD *stored = reinterpret_cast<DWORD *>(processId);
  DWORD pid = 0;
  GetWindowThreadProcessId(child, &pid);
  if (pid == *stored) return TRUE;
  *stored = pid;
  return FALSE;
}

// --- placement ----------------------------------------------------------------------------------

void MoveWindowToCursorMonitor(HWND hwnd) {
  if (ClassifyWindow(hwnd) != kMovable) return;
  HMONITOR target = MonitorFromWindow(nullptr, MONITOR_DEFAULTTOPRIMARY);
  POINT cursor{0, 0};
  if (GetCursorPos(&cursor)) target = MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY);
  MoveWindowToMonitor(hwnd, target);
}

void MoveWindowToMonitor(HWND hwnd, HMONITOR target) {
  HMONITOR current = MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY);
  if (current == target) return;
  WINDOWPLACEMENT placement;
  ZeroMemory(&placement, sizeof(placement));
  placement.length = sizeof(placement);
  if (!GetWindowPlacement(hwnd, &placement)) return;
  MONITORINFOEXW currentInfo, targetInfo;
  ZeroMemory(&currentInfo, sizeof(currentInfo));
  ZeroMemory(&targetInfo, sizeof(targetInfo));
  currentInfo.cbSize = targetInfo.cbSize = sizeof(MONITORINFOEXW);
  if (!GetMonitorInfoW(current, reinterpret_cast<LPMONITORINFO>(&currentInfo)) ||
      !GetMonitorInfoW(target, reinterpret_cast<LPMONITORINFO>(&targetInfo)))
    return;
  // The normal rectangle is in workspace coordinates, in which the work area's top-left corner is the monitor's
  // (only top-level windows without WS_EX_TOOLWINDOW get this far, and theirs always are).
  const POINT origin{currentInfo.rcMonitor.left, currentInfo.rcMonitor.top};
  SizeWindowToRect(hwnd, RectOnMonitor(placement.rcNormalPosition, origin, targetInfo.rcWork), FALSE);
}

RECT RectOnMonitor(RECT normal, POINT origin, RECT work) {
  RECT result;
  placeAxis(normal.left, normal.right, origin.x, work.left, work.right, result.left, result.right);
  placeAxis(normal.top, normal.bottom, origin.y, work.top, work.bottom, result.top, result.bottom);
  return result;
}

void SizeWindowToRect(HWND hwnd, RECT rect, BOOL keepRestored) {
  WINDOWPLACEMENT placement;
  ZeroMemory(&placement, sizeof(placement));
  placement.length = sizeof(placement);
  GetWindowPlacement(hwnd, &placement);
  for (int i = 0; i < kMinimizedWaits && placement.showCmd == SW_SHOWMINIMIZED; ++i) {
    Sleep(kMinimizedWaitMs);
    GetWindowPlacement(hwnd, &placement);
  }

  bool remaximize = false;
  if (IsWindowVisible(hwnd)) {
    remaximize = placement.showCmd == SW_SHOWMAXIMIZED && !keepRestored;
    if (placement.showCmd != SW_SHOWMINIMIZED && placement.showCmd != SW_MINIMIZE) {
      if (placement.showCmd == SW_SHOWMAXIMIZED) placement.flags &= ~static_cast<UINT>(WPF_RESTORETOMAXIMIZED);
      placement.showCmd = SW_RESTORE;
    }
  } else {
    placement.showCmd = SW_HIDE;
  }

  // Screen to workspace coordinates, by the work-area offset of the monitor the rectangle lands on.
  MONITORINFOEXW info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(MONITORINFOEXW);
  GetMonitorInfoW(MonitorFromRect(&rect, MONITOR_DEFAULTTOPRIMARY), reinterpret_cast<LPMONITORINFO>(&info));
  const RECT probe = shifted(rect, int64_t(info.rcMonitor.left) - info.rcWork.left,
                             int64_t(info.rcMonitor.top) - info.rcWork.top);
  GetMonitorInfoW(MonitorFromRect(&probe, MONITOR_DEFAULTTOPRIMARY), reinterpret_cast<LPMONITORINFO>(&info));
  const int64_t dx = int64_t(info.rcWork.left) - info.rcMonitor.left;
  const int64_t dy = int64_t(info.rcWork.top) - info.rcMonitor.top;
  rect = shifted(rect, -dx, -dy);

  const DPI_AWARENESS_CONTEXT context = GetWindowDpiAwarenessContext(hwnd);
  const bool perMonitorAware = AreDpiAwarenessContextsEqual(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE) ||
                               AreDpiAwarenessContextsEqual(context, DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) ||
                               AreDpiAwarenessContextsEqual(context, DPI_AWARENESS_CONTEXT_UNAWARE_GDISCALED);
  if (!perMonitorAware && !dpiIsUniform()) {
    // Windows scales such a window by monitor: keep it inside the monitor so it is not stretched across two.
    rect.left = (std::max)(rect.left, info.rcMonitor.left);
    rect.top = (std::max)(rect.top, info.rcMonitor.top);
    rect.right = (std::min<LONG>)(rect.right, clampToLong(info.rcMonitor.right - dx));
    rect.bottom = (std::min<LONG>)(rect.bottom, clampToLong(info.rcMonitor.bottom - dy));
  }

  placement.rcNormalPosition = rect;
  placement.flags |= WPF_ASYNCWINDOWPLACEMENT;
  if (!SetWindowPlacement(hwnd, &placement)) qDebug() << "SetWindowPlacement failed, " << GetLastError();
  if (remaximize) placement.showCmd = SW_SHOWMAXIMIZED;
  if (!SetWindowPlacement(hwnd, &placement)) qDebug() << "SetWindowPlacement failed, " << GetLastError();
}

BOOL CALLBACK MonitorEnumProc(HMONITOR monitor, HDC, LPRECT, LPARAM list) {
  reinterpret_cast<std::vector<HMONITOR> *>(list)->push_back(monitor);
  return TRUE;
}
