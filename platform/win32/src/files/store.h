// Owners and DACLs of the machine's files and folders: <root>/files/security, one line per object that has a
// descriptor of its own, changed through one update(change) under the area's lock. An object is known by its host
// path and checked against the identity (device, inode) it had when its descriptor was set, so a file that the host
// replaced behind the stand-in's back never takes over an old descriptor.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>

#include "emu/account.h"
#include "files/descriptor.h"

namespace emu::files {

struct Record {
  unsigned long long dev = 0, ino = 0;
  Descriptor sd;
};
using Records = std::map<std::string, Record>; // by key()

// The key of a host path: its folder with every link resolved, then its own name (a link is an object itself).
std::string key(const std::string &hostPath);

Records load();
DWORD update(const std::function<DWORD(Records &, bool &changed)> &change);

// The descriptor an object has in effect: its own entries, then (unless protected) those inherited from its folder,
// recursively; a NULL DACL where nothing above it has any (the rest of the machine is not modelled).
Descriptor effective(const Records &records, const std::string &key);
// The rights on an object that `account` holds by its effective descriptor (the owner may always read and change
// the DACL).
DWORD granted(const Records &records, const Account &account, const std::string &key);
// Whether `account` may take `sid` as the owner of what it makes or changes.
bool mayOwn(const Account &account, const std::string &sid);
// The owner of what `account` makes when no descriptor names one.
std::string defaultOwner(const Account &account);

// Stores a descriptor for an object that exists (its identity read now); removes records of a path and below.
void put(Records &records, const std::string &key, const Descriptor &sd);
void forget(Records &records, const std::string &key);
// Moves the records of a path and below to a new path.
void rename(Records &records, const std::string &from, const std::string &to);

} // namespace emu::files
