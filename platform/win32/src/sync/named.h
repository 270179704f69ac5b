// Named kernel objects shared between the processes of a session (or, with "Global\", of the machine): each is a
// file <root>/kernel/named/<namespace>/<name>.<kind> with open-file-description locks on it. Byte 0 carries a read
// lock of every process with an open handle, so the object exists while one is held; the kernel drops it when a
// process dies. Every kind shares the namespace: a name held by an object of one kind refuses the others.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>

namespace emu {
namespace sync {

// The kinds of named object the machine has.
constexpr const char kMutex[] = "mutex";
constexpr const char kEvent[] = "event";

// The file of a named object of one kind (kMutex, kEvent). Names are case-sensitive; "Global\" names belong to the
// machine, others (and "Local\" ones) to the caller's session. 0, or the error for a name the object namespace
// refuses (longer than MAX_PATH, or with a backslash after the namespace).
DWORD objectPath(const std::u16string &name, const char *kind, std::string *path);
// Some process holds a handle to the object of this file.
bool existsElsewhere(const std::string &path);
// Takes the file (from objectPath) of a named object under its namespace's lock, so "exists" and "created" agree
// between processes: *existed tells whether another process holds it; a missing object is made only with
// `create`. An object of another kind under the name refuses the call with ERROR_INVALID_HANDLE, decided under the
// same lock, so two kinds never both come into being. `adopt` makes the object's state from the file, still under
// the lock, so a new object is set up before anyone else can open it. 0, or the error to set.
DWORD takeNamedFile(const std::string &path, bool create, bool *existed, const std::function<void(int fd)> &adopt);
// Forgets the names of a process's named objects that are gone.
template <class T> void forgetClosed(std::map<std::string, std::weak_ptr<T>> &names) {
  for (auto it = names.begin(); it != names.end();) it = it->second.expired() ? names.erase(it) : std::next(it);
}
// An open-file-description lock of one byte (F_RDLCK, F_WRLCK, F_UNLCK); with `wait` it blocks until granted.
bool lockByte(int fd, short type, off_t byte, bool wait = false);

} // namespace sync
} // namespace emu
