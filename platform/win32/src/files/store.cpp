// Security state of files and folders, and the access check that the file calls make with it.
#include "files/store.h"

#include "core/statefile.h"
#include "security/account_internal.h"

#include <climits>
#include <cstdlib>
#include <sstream>
#include <sys/stat.h>

namespace emu::files {

namespace {

const char kFile[] = "files/security";

Records parse(const std::string &bytes) {
  Records out;
  std::istringstream in(bytes);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Record r;
    std::string sddl;
    if (!(fields >> r.dev >> r.ino >> sddl) || !parseSddl(sddl == "-" ? std::string() : sddl, &r.sd)) continue;
    std::string path;
    std::getline(fields, path);
    if (path.size() > 1) out[path.substr(1)] = r;
  }
  return out;
}

std::string serialize(const Records &records) {
  std::string out;
  for (const auto &[path, r] : records) {
    std::string sddl = sddlOf(r.sd, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
    out += std::to_string(r.dev) + " " + std::to_string(r.ino) + " " + (sddl.empty() ? "-" : sddl) + " " + path + "\n";
  }
  return out;
}

std::string parentOf(const std::string &k) {
  const size_t slash = k.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : k.substr(0, slash);
}

bool under(const std::string &path, const std::string &top) {
  return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 && path[top.size()] == '/');
}

const Record *recordOf(const Records &records, const std::string &k, bool *isDir) {
  struct stat st;
  if (lstat(k.c_str(), &st) != 0) return nullptr;
  *isDir = S_ISDIR(st.st_mode);
  auto it = records.find(k);
  if (it == records.end()) return nullptr;
  const Record &r = it->second;
  return r.dev == static_cast<unsigned long long>(st.st_dev) && r.ino == static_cast<unsigned long long>(st.st_ino)
             ? &r
             : nullptr;
}

// What a folder's DACL passes on to a child: object-inherit entries to files, container-inherit entries to folders
// (object-inherit ones too, inherit-only, for the files further down), unless no-propagate stops them there.
std::vector<Ace> inheritedBy(const std::vector<Ace> &parent, bool childIsDir) {
  std::vector<Ace> out;
  for (Ace a : parent) {
    const bool oi = a.flags & OBJECT_INHERIT_ACE, ci = a.flags & CONTAINER_INHERIT_ACE;
    const bool np = a.flags & NO_PROPAGATE_INHERIT_ACE;
    if (!childIsDir) {
      if (!oi) continue;
      a.flags = INHERITED_ACE;
    } else if (ci) {
      const BYTE kept = a.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
      a.flags = np ? INHERITED_ACE : static_cast<BYTE>(INHERITED_ACE | kept);
    } else if (oi && !np) {
      a.flags = INHERITED_ACE | OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
    } else {
      continue;
    }
    out.push_back(a);
  }
  return out;
}

} // namespace

std::string key(const std::string &hostPath) {
  std::string path = hostPath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return key("./" + path);
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  char resolved[PATH_MAX];
  if (!realpath(folder.c_str(), resolved)) return path;
  const std::string base(resolved);
  return (base == "/" ? "" : base) + "/" + path.substr(slash + 1);
}

Records load() {
  std::string bytes;
  return readStateFile(kFile, &bytes) ? parse(bytes) : Records();
}

DWORD update(const std::function<DWORD(Records &, bool &)> &change) {
  return updateStateFile(kFile, [&](std::string &bytes, bool exists, bool &changed) -> DWORD {
    Records r = exists ? parse(bytes) : Records();
    const DWORD rc = change(r, changed);
    if (rc == 0 && changed) bytes = serialize(r);
    return rc;
  });
}

Descriptor effective(const Records &records, const std::string &k) {
  bool isDir = false;
  const Record *own = recordOf(records, k, &isDir);
  Descriptor d;
  d.owner = own && !own->sd.owner.empty() ? own->sd.owner : std::string(kAdministratorsSid);
  d.daclPresent = true;
  if (own && own->sd.daclPresent && own->sd.nullDacl) {
    d.nullDacl = true;
    return d;
  }
  if (own && own->sd.daclPresent) {
    for (const Ace &a : own->sd.dacl)
      if (!(a.flags & INHERITED_ACE)) d.dacl.push_back(a);
    d.protectedDacl = own->sd.protectedDacl;
    d.autoInherited = own->sd.autoInherited;
    if (d.protectedDacl) return d;
  }
  if (k == "/") {
    d.nullDacl = d.dacl.empty();
    return d;
  }
  const Descriptor parent = effective(records, parentOf(k));
  if (parent.nullDacl) {
    d.nullDacl = d.dacl.empty() && !(own && own->sd.daclPresent);
    return d;
  }
  for (const Ace &a : inheritedBy(parent.dacl, isDir)) d.dacl.push_back(a);
  d.autoInherited = d.autoInherited || parent.autoInherited; // what propagation reaches is converted too
  return d;
}

DWORD granted(const Records &records, const Account &account, const std::string &k) {
  const Descriptor d = effective(records, k);
  DWORD allowed = 0, denied = 0;
  if (sec::memberOf(account, d.owner)) allowed |= READ_CONTROL | WRITE_DAC;
  if (d.nullDacl) return FILE_ALL_ACCESS;
  for (const Ace &a : d.dacl) {
    if (a.flags & INHERIT_ONLY_ACE) continue;
    const DWORD mask = mapGeneric(a.mask) & ~allowed & ~denied;
    // Administrators of an unelevated token still counts for deny entries.
    if (a.type == ACCESS_DENIED_ACE_TYPE &&
        (sec::memberOf(account, a.sid) || (a.sid == kAdministratorsSid && account.administrator)))
      denied |= mask;
    else if (a.type == ACCESS_ALLOWED_ACE_TYPE && sec::memberOf(account, a.sid))
      allowed |= mask;
  }
  return allowed;
}

bool mayOwn(const Account &account, const std::string &sid) {
  return sid == account.userSid || (sid == kAdministratorsSid && account.adminRights());
}

std::string defaultOwner(const Account &account) {
  if (account.userSid == kLocalSystemSid) return kLocalSystemSid;
  return account.adminRights() ? std::string(kAdministratorsSid) : account.userSid;
}

void put(Records &records, const std::string &k, const Descriptor &sd) {
  struct stat st;
  if (lstat(k.c_str(), &st) != 0) return;
  records[k] = Record{static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino), sd};
}

void forget(Records &records, const std::string &k) {
  for (auto it = records.begin(); it != records.end();) it = under(it->first, k) ? records.erase(it) : std::next(it);
}

void rename(Records &records, const std::string &from, const std::string &to) {
  Records moved;
  for (auto it = records.begin(); it != records.end();) {
    if (under(it->first, from)) {
      moved[to + it->first.substr(from.size())] = it->second;
      it = records.erase(it);
    } else {
      ++it;
    }
  }
  forget(records, to);
  records.insert(moved.begin(), moved.end());
}

} // namespace emu::files
