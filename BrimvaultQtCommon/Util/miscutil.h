// Miscellaneous static operations of the utility library. Each group lives in a source file of its own; the
// pruning of numbered files is in miscutil.cpp.
#pragma once

#include <windows.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// Who holds one local port; a free port reads {port, -1, empty, false}.
struct PortOccupyState {
  quint32 port = 0;
  qint32 pid = -1;
  QString processName;
  bool occupied = false;
};

class MiscUtil : public QObject {
  Q_OBJECT

public:
  explicit MiscUtil(QObject *parent = nullptr);

  // --- pruning of numbered files ---
  // Keeps the keepCount matching files with the highest numbers in folderPath and deletes the other matching ones.
  // folderPath is a Windows path. Only regular files found in the real folder go: nothing when the folder is a link
  // (reparse point), and no link, folder or hidden file in it is counted or deleted.
  static void removeOldFiles(const QString &folderPath, int keepCount, const QString &namePattern,
                             const QString &numberPattern);
  // Names of the files (no folders, no hidden files) whose names match namePattern, in listing order.
  static QStringList getFileNamesByPattern(const QString &folderPath, const QString &namePattern);
  // True when both names match numberPattern and the first name's number is the smaller.
  static bool compareFileNumber(const QString &first, const QString &second, const QString &numberPattern);

  // --- program start and elevation (miscutil_program.cpp) ---
  // Each start hands the program to the shell and returns without waiting for it.
  // 0 when started, -1 on failure.
  static int startAProgram(const QString &programPath, const QString &parameters, bool show);
  // Starts the program after delaySeconds through a hidden cmd.exe; 0 when cmd.exe started, -1 on failure (a path
  // with '%' or '"' is refused: cmd.exe would rewrite it).
  static int delayStartAProgram(int delaySeconds, const QString &programPath);
  // Starts the program elevated: 0 when started, -1 when the user declined, -2 on any other failure.
  static int runAsAdmin(const QString &programPath);
  // Whether the process runs with the Administrators group in force (elevated).
  static bool isRunAsAdmin();
  // Whether the process runs as LocalSystem.
  static bool isRunningAsSystem();

  // --- files and folders (miscutil_files.cpp) ---
  // Files with the extension "dmp" (any case) in the folder and below; each folder (links resolved) counted once.
  static int countDumpFiles(const QString &folderPath);
  // Deletes a file, a link (never what it points to) or a folder with its content; true when nothing is left.
  static bool removePath(const QString &path);
  // The folder %DriverData% names, else %SystemRoot%\System32\Drivers\DriverData; absolute, forward slashes.
  static QString getDriverDataPath();

  // --- Windows service entries (miscutil_service.cpp) ---
  // Each opens the control manager (and the service), does one thing, closes what it opened and logs failures.
  static bool createServiceEntry(const QString &serviceName, const QString &displayName, const QString &exePath,
                                 const QStringList &arguments, int serviceType, int startType,
                                 const QString &description, const QString &account, const QString &password);
  static bool deleteServiceEntry(const QString &serviceName);
  static bool ChangeServiceStartType(const QString &serviceName, int startType);
  // Writes *startType only on success.
  static bool QueryServiceStartType(const QString &serviceName, int *startType);
  // True when started or already running; does not wait for the service to run.
  static bool StartWindowsService(const QString &serviceName);
  static bool IsServiceRunning(const QString &serviceName);
  // False only when the control manager says there is no such service.
  static bool IsServiceExist(const QString &serviceName);

  // --- port owners and process names (miscutil_ports.cpp) ---
  // One entry per requested port, in request order (TCP: none at all when no row is left after the exclusion).
  // excludeSelf leaves out this process's rows; otherwise the process named excludeName (pid 0 when none is).
  static QList<PortOccupyState> getTcpPortOccupyState(const QList<ULONG> &ports, bool excludeSelf,
                                                      const QString &excludeName);
  static QList<PortOccupyState> getUdpPortOccupyState(const QList<ULONG> &ports, bool excludeSelf,
                                                      const QString &excludeName);
  // The last process in snapshot order whose executable is named so (case ignored); 0 when none.
  static DWORD getProcessIdByName(const QString &exeName);
  // The executable name of the process, empty when there is none.
  static QString getProcessNameById(DWORD pid);
};
