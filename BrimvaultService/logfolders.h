// The service's log folders, made safe before anything is pruned or logged there. The service runs as LocalSystem
// and any user may create C:\Brimvault first, or put a link (junction) where a log folder belongs: a folder the
// service deletes or writes in must be a real folder that only administrators can change. Each step is kept as a
// line for the log, which is opened only once its folder is safe.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Owner Administrators; protected from inheritance: SYSTEM and Administrators full control, Users read and traverse.
extern const WCHAR kServiceFolderRights[];
// The same, but Users may also create and write (no delete): every session's WindowShepherd logs under bvu.
extern const WCHAR kUserFolderRights[];

struct LogFolders {
  bool logSafe = false; // C:\Brimvault\log\bvs and every folder above it
  bool tmpSafe = false; // C:\Brimvault\log\bvs\tmp too
  std::vector<std::string> steps; // for the log, once it is open
};

// Makes C:\Brimvault, C:\Brimvault\log, bvs and bvs\tmp safe, in that order, and with `userFolder` also makes
// C:\Brimvault\log\bvu for the users. A folder that cannot be made safe is said once with OutputDebugStringW; nothing
// below it is touched.
LogFolders makeLogFoldersSafe(bool userFolder);

// Logs the steps taken (info level), once the log is open.
void logFolderSteps(const LogFolders &folders);
