// Switches the reaction to other programs' windows on and off: three out-of-context window event hooks.
#pragma once

#include <windows.h>

#include <QObject>

class WindowMonitor : public QObject {
  Q_OBJECT
public:
  explicit WindowMonitor(QObject *parent = nullptr);
  // Removes the hooks without announcing it.
  ~WindowMonitor() override;

  // Connects the hub's pauseSig and startSig to this monitor.
  void initConnections();
  // Installs the creation, uncloaking and showing hooks unless they are installed already.
  void startHooks();
  // Removes every installed hook.
  void stopHooks();

private:
  void startSigSlot();
  void pauseSigSlot();
};

// The procedure of all three hooks: hands windows (not their parts) to the placement.
void CALLBACK WinEventCallback(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG idObject, LONG idChild,
                               DWORD idEventThread, DWORD dwmsEventTime);
