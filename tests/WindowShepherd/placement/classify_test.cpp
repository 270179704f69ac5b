// Which windows are moved: each rule with a window that differs from a moved one in that rule alone.
#include "fixture.h"

#include <functional>

#include "movenewwindowtoactivatemonitor.h"

namespace {

class Classify : public DesktopFixture {
protected:
  // Classifies the window, then hands it to the placement: moved exactly when the code is 0.
  int judge(HWND w) {
    const int code = ClassifyWindow(w);
    MoveWindowToCursorMonitor(w);
    EXPECT_EQ(!dt::placementsOf(w).empty(), code == 0) << "moved must agree with the code " << code;
    return code;
  }
  int judge(const std::function<void(dt::WindowSpec &)> &change) {
    dt::WindowSpec spec = movable();
    change(spec);
    return judge(create(spec));
  }
};

TEST_F(Classify, StateAndStyleRulesInTheirOrder) {
  EXPECT_EQ(judge([](dt::WindowSpec &) {}), 0);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.show = dt::Show::Minimized; }), 2);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.show = dt::Show::Minimized, w.style &= ~WS_VISIBLE; }), 2);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.style &= ~WS_VISIBLE; }), 4);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.exStyle = WS_EX_TOOLWINDOW; }), 3);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.exStyle = WS_EX_TOOLWINDOW, w.style &= ~WS_VISIBLE; }), 4);
  HWND parent = create(movable());
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.parent = parent; }), 5);
}

TEST_F(Classify, PopupsNeedASizingFrameWithACaptionOrABox) {
  const DWORD popup = WS_POPUP | WS_VISIBLE;
  struct Case {
    DWORD style;
    int code;
  } cases[] = {
      {popup | WS_THICKFRAME | WS_CAPTION, 0},
      {popup | WS_THICKFRAME | WS_MINIMIZEBOX, 0},
      {popup | WS_THICKFRAME | WS_MAXIMIZEBOX, 0},
      {popup | WS_CAPTION | WS_MINIMIZEBOX, 6},
      {popup | WS_THICKFRAME, 6},
      {popup | WS_THICKFRAME | WS_DLGFRAME, 6}, // half a caption
      {popup | WS_THICKFRAME | WS_BORDER, 6},
      {popup, 6},
  };
  for (const Case &c : cases) EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.style = c.style; }), c.code) << c.style;
}

TEST_F(Classify, OnlyAVisibleOwnerWithAnAreaKeepsAWindowInPlace) {
  HWND owner = create(movable());
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.owner = owner; }), 7);

  dt::WindowSpec flat = movable();
  flat.rect = RECT{100, 100, 100, 500};
  HWND flatOwner = create(flat);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.owner = flatOwner; }), 0);

  dt::WindowSpec hidden = movable();
  hidden.style &= ~WS_VISIBLE;
  HWND hiddenOwner = create(hidden);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.owner = hiddenOwner; }), 0);

  // An owner whose rectangle cannot be read counts as having an area.
  dt::WindowSpec spec = movable();
  spec.owner = flatOwner;
  HWND w = create(spec);
  emu::injectFailure("GetWindowRect", ERROR_ACCESS_DENIED);
  EXPECT_EQ(judge(w), 7);
}

TEST_F(Classify, ClassNamesDesktopAndShellWindowsAreExcluded) {
  for (const char *cls : {"SysListView32", "WorkerW", "Shell_TrayWnd", "Shell_SecondaryTrayWnd", "Progman", "MsoSplash"})
    EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.className = cls; }), 8) << cls;
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.className = "workerw"; }), 0) << "class names match exactly";
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.className = "WorkerW2"; }), 0);

  HWND shell = create(movable());
  dt::setShellWindow(shell);
  EXPECT_EQ(ClassifyWindow(shell), 8);
  EXPECT_TRUE(IsExcludedWindow(GetDesktopWindow(), WideString()));
}

TEST_F(Classify, TitlesMatchTheNameListWithoutRegardToCase) {
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.title = u"Results of searchui.EXE"; }), 8);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.title = u"windows.ui.core.corewindow"; }), 8);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.title = u"SearchUI"; }), 0);
  EXPECT_EQ(judge([](dt::WindowSpec &w) { w.title = u""; }), 0);
}

TEST_F(Classify, ProcessPathsExcludeBySystemAppsAndFileNames) {
  const DWORD systemApp = startProcessAt("C:\\Windows\\SystemApps\\Shell\\StartMenu.exe");
  const DWORD systemAppsLonger = startProcessAt("C:\\Windows\\MySystemAppsX\\tool.exe");
  const DWORD fancyZones = startProcessAt("C:\\Program Files\\PowerToys\\powertoys.fancyzoneseditor.exe");
  const DWORD searchUi = startProcessAt("C:\\Windows\\SearchUI.exe.bak\\SearchUI.exe");
  const DWORD folderOnly = startProcessAt("C:\\SearchUI.exe\\viewer.exe");
  const DWORD plain = startProcessAt("C:\\Program Files\\Editor\\editor.exe");
  ASSERT_TRUE(systemApp && systemAppsLonger && fancyZones && searchUi && folderOnly && plain);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = systemApp; }), 8);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = systemAppsLonger; }), 8);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = fancyZones; }), 8);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = searchUi; }), 8) << "the last occurrence begins the file name";
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = folderOnly; }), 0) << "a folder of that name is not the file";
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = plain; }), 0);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = folderOnly, w.title = u"SEARCHUI.EXE"; }), 8);
}

TEST_F(Classify, ProcessesKnownOnlyToTheDesktopAreJudgedByTheirPath) {
  const DWORD fancyZones = dt::madeUpPid(4200), editor = dt::madeUpPid(4201), shellHost = dt::madeUpPid(4202);
  dt::addProcess({fancyZones, u"C:\\Program Files\\PowerToys\\PowerToys.FancyZonesEditor.exe", false});
  dt::addProcess({editor, u"C:\\Program Files\\Editor\\editor.exe", false});
  dt::addProcess({shellHost, u"C:\\Windows\\SystemApps\\Shell\\ShellHost.exe", true});
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = fancyZones; }), 8);
  EXPECT_EQ(judge([&](dt::WindowSpec &w) { w.pid = editor; }), 0);
  // An elevated process cannot be opened as the program asks: no path, so SystemApps does not exclude it.
  dt::WindowSpec elevated = movable();
  elevated.pid = shellHost;
  HWND w = create(elevated);
  EXPECT_TRUE(GetWindowProcessPath(w).empty());
  EXPECT_EQ(ClassifyWindow(w), 0);
}

TEST_F(Classify, PathRulesFollowTheLastOccurrenceOfAnEntry) {
  // The file name begins with the entry, but the entry occurs again later: the specified matching does not hit.
  const DWORD twice = startProcessAt("C:\\Apps\\SearchUI.exeSearchUI.exe");
  ASSERT_NE(twice, 0u);
  WideString path = GetWindowProcessPath(create([&] {
    dt::WindowSpec w = movable();
    w.pid = twice;
    return w;
  }()));
  EXPECT_EQ(emu::toUtf8(path.c_str()), "C:\\Apps\\SearchUI.exeSearchUI.exe");
  CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
  EXPECT_FALSE(IsProcessInList(GetDesktopWindow(), path, {TEXT("SearchUI.exe")}));
  EXPECT_FALSE(IsProcessInList(GetDesktopWindow(), WideString(TEXT("SEARCHUI.EXE")), {TEXT("SearchUI.exe")}))
      << "a path without a backslash matches nothing";
}

TEST_F(Classify, FrameHostWindowsAreJudgedByTheirContentProcess) {
  const DWORD host = startProcessAt("C:\\Windows\\System32\\ApplicationFrameHost.exe");
  const DWORD app = startProcessAt("C:\\Program Files\\WindowsApps\\Calc\\Calculator.exe");
  const DWORD excludedApp = startProcessAt("C:\\Windows\\SystemApps\\Search\\SearchApp.exe");
  ASSERT_TRUE(host && app && excludedApp);

  // The content window arrives while the frame's path is being read again (the third look).
  dt::WindowSpec frame = movable();
  frame.pid = host;
  HWND late = create(frame);
  dt::onCall("EnumChildWindows", 3, [&] {
    dt::WindowSpec content = movable();
    content.pid = excludedApp;
    content.parent = late;
    dt::createWindow(content);
  });
  emu::clearCallJournal();
  EXPECT_EQ(emu::toUtf8(GetWindowProcessPathWithRetry(late).c_str()), "C:\\Windows\\SystemApps\\Search\\SearchApp.exe");
  EXPECT_EQ(calls("EnumChildWindows"), 3);
  EXPECT_EQ(judge(late), 8);

  dt::WindowSpec withApp = movable();
  withApp.pid = host;
  HWND appFrame = create(withApp);
  dt::WindowSpec content = movable();
  content.pid = app;
  content.parent = appFrame;
  create(content);
  EXPECT_EQ(judge(appFrame), 0);

  HWND empty = create(frame);
  emu::clearCallJournal();
  EXPECT_EQ(emu::toUtf8(GetWindowProcessPathWithRetry(empty).c_str()),
            "C:\\Windows\\System32\\ApplicationFrameHost.exe");
  EXPECT_EQ(calls("EnumChildWindows"), 30) << "one first look and 29 more";
}

} // namespace
