// Files of the control manager under <root>/scm: one folder per service with its configuration ("config"), the
// status history of the current or last run ("status", appended by the controller alone) and the controller's view
// of that run ("run", replaced whole). "<root>/scm/.lock" serialises creation, deletion and starts.
#pragma once

#include "emu/scm.h"

#include <string>
#include <sys/types.h>

namespace emu {
namespace scmstore {

std::string scmRoot();
bool validServiceName(const std::string &name);
std::string folderOf(const std::string &name);

struct RunInfo {
  bool active = false;
  pid_t controller = 0;
  DWORD pid = 0;
  bool ended = false;
  bool died = false;
  DWORD exitCode = 0;
};
bool readRun(const std::string &folder, RunInfo *run);
bool writeRun(const std::string &folder, const RunInfo &run);

bool appendHistory(const std::string &folder, const scm::StatusRecord &record);
void clearHistory(const std::string &folder);
std::vector<scm::StatusRecord> readHistory(const std::string &folder);

bool readConfigFile(const std::string &folder, scm::ServiceConfig *config);
bool writeConfigFile(const std::string &folder, const scm::ServiceConfig &config);

// Removes the entry's folder (configuration, history, logs).
void removeEntry(const std::string &folder);

// Which processes hold handles to the entry: one file per process under "handles", named by its pid and holding its
// start time, there while it holds any. A holder counts while it runs at that start (ended holders' files go).
void noteHandlesOpen(const std::string &folder, bool open);
bool handlesOpenElsewhere(const std::string &folder, bool countOwnProcess);

// The control manager's database lock (flock), held for the object's lifetime.
class DatabaseLock {
public:
  DatabaseLock();
  ~DatabaseLock();
  DatabaseLock(const DatabaseLock &) = delete;
  DatabaseLock &operator=(const DatabaseLock &) = delete;

private:
  int fd_ = -1;
};

bool writeFileAtomic(const std::string &path, const std::string &contents);
std::string readWholeFile(const std::string &path);
void makeDirs(const std::string &path);

// Whether a controller serves the entry right now (its socket answers).
bool controllerAlive(const std::string &folder);
// The controller's own answer on the run it serves, in one message: its service process and last status. false
// when no controller answers; the run's records are then complete (it writes them before it stops answering).
bool askController(const std::string &folder, DWORD *pid, SERVICE_STATUS *status);

} // namespace scmstore
} // namespace emu
