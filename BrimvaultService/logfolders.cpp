// Log folders the service can trust: real folders (a link is removed as a link, a file moved aside), owned by
// Administrators with protected rights, checked top down so each folder's parent is already out of users' reach.
#include "logfolders.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "Log/log.h"

const WCHAR kServiceFolderRights[] = TEXT("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)");
const WCHAR kUserFolderRights[] = TEXT("O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)");

namespace {

using WString = std::basic_string<WCHAR>;

struct Folder {
  const WCHAR *path;
  const char *name; // the same, for the log
  const WCHAR *rights;
};

const Folder kChain[] = {
    {TEXT("C:\\Brimvault"), "C:\\Brimvault", kServiceFolderRights},
    {TEXT("C:\\Brimvault\\log"), "C:\\Brimvault\\log", kServiceFolderRights},
    {TEXT("C:\\Brimvault\\log\\bvs"), "C:\\Brimvault\\log\\bvs", kServiceFolderRights},
    {TEXT("C:\\Brimvault\\log\\bvs\\tmp"), "C:\\Brimvault\\log\\bvs\\tmp", kServiceFolderRights},
};
const Folder kUserFolder = {TEXT("C:\\Brimvault\\log\\bvu"), "C:\\Brimvault\\log\\bvu", kUserFolderRights};

std::string narrow(const WCHAR *text) {
  std::string out;
  for (; text && *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

std::string format(const char *fmt, const char *a, const std::string &b = std::string()) {
  char line[1024];
  std::snprintf(line, sizeof(line), fmt, a, b.c_str());
  return line;
}

// A descriptor made from SDDL text, freed with LocalFree.
class Descriptor {
public:
  explicit Descriptor(const WCHAR *sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd_, nullptr)) sd_ = nullptr;
  }
  ~Descriptor() { LocalFree(sd_); }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  PSECURITY_DESCRIPTOR get() const { return sd_; }

private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
};

// The folder's owner and DACL as SDDL; empty when they cannot be read.
WString currentRights(const WCHAR *path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  WString out;
  if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
    out = text;
  LocalFree(text);
  LocalFree(sd);
  return out;
}

// Windows marks a DACL set through SetNamedSecurityInfoW as auto-inherited ("D:PAI"): the same rights.
bool sameRights(WString current, const WCHAR *wanted) {
  const size_t at = current.find(TEXT("D:PAI("));
  if (at != WString::npos) current.erase(at + 3, 2);
  return current == wanted;
}

// Replaces a folder's owner and rights with those of `rights`.
DWORD setRights(const WCHAR *path, const WCHAR *rights) {
  Descriptor sd(rights);
  if (!sd.get()) return GetLastError();
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted))
    return GetLastError();
  WString name(path); // the call takes a writable name
  return SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               owner, nullptr, dacl, nullptr);
}

// A name next to `path` that nothing uses yet, for a file in a folder's way.
WString asideName(const WCHAR *path) {
  for (unsigned n = 1; n < 1000; ++n) {
    WString name(path);
    for (char c : ".aside-" + std::to_string(n)) name += static_cast<WCHAR>(c);
    if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND)
      return name;
  }
  return WString();
}

DWORD failAt(const char **failed, const char *step, DWORD error) {
  *failed = step;
  return error;
}

// Makes one folder safe; its parent is safe already. 0, or the error of the step that failed (`failed` names it).
DWORD makeSafe(const Folder &f, std::vector<std::string> &steps, const char **failed) {
  DWORD attributes = GetFileAttributesW(f.path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      return failAt(failed, "reading its attributes", error);
  } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // A junction, symbolic link or mount point: only the link goes, never what it points at.
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(f.path) : DeleteFileW(f.path);
    if (!removed) return failAt(failed, "removing the link", GetLastError());
    steps.push_back(format("Log folder %s was a link: the link is removed.", f.name));
    attributes = INVALID_FILE_ATTRIBUTES;
  } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    const WString aside = asideName(f.path);
    if (aside.empty() || !MoveFileExW(f.path, aside.c_str(), 0))
      return failAt(failed, "moving a file out of the way", aside.empty() ? ERROR_FILE_EXISTS : GetLastError());
    steps.push_back(format("Log folder %s was a file: it is moved to %s.", f.name, narrow(aside.c_str())));
    attributes = INVALID_FILE_ATTRIBUTES;
  }

  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Descriptor sd(f.rights);
    if (!sd.get()) return failAt(failed, "making its rights", GetLastError());
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.get(), FALSE};
    // Made with its rights in one call: no moment in which a user could change it. One already there now was put
    // there by someone else meanwhile, so it is not trusted.
    if (!CreateDirectoryW(f.path, &sa)) return failAt(failed, "making the folder", GetLastError());
    steps.push_back(format("Log folder %s is made.", f.name));
  } else {
    const WString before = currentRights(f.path);
    if (sameRights(before, f.rights)) return 0;
    if (DWORD error = setRights(f.path, f.rights)) return failAt(failed, "setting its owner and rights", error);
    steps.push_back(format("Log folder %s: owner and rights are replaced (were %s).", f.name,
                           before.empty() ? std::string("unreadable") : narrow(before.c_str())));
  }
  // Made or set by name, which follows a link: it must be a real folder still (Wine removes through a host link).
  attributes = GetFileAttributesW(f.path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return failAt(failed, "checking it afterwards",
                  attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_ACCESS_DENIED);
  return 0;
}

// Says once why a folder cannot be used: with the log not open, only a debugger hears it.
void tellUnsafe(const Folder &f, const char *failed, DWORD error, std::vector<std::string> &steps) {
  char line[512];
  std::snprintf(line, sizeof(line), "Log folder %s cannot be made safe (%s failed, error 0x%lx): no file log there.",
                f.name, failed, static_cast<unsigned long>(error));
  steps.push_back(line);
  WString wide;
  for (const char *p = line; *p; ++p) wide += static_cast<WCHAR>(static_cast<unsigned char>(*p));
  OutputDebugStringW(wide.c_str());
}

} // namespace

LogFolders makeLogFoldersSafe(bool userFolder) {
  LogFolders out;
  size_t safe = 0;
  for (const Folder &f : kChain) {
    const char *failed = "";
    if (DWORD error = makeSafe(f, out.steps, &failed)) {
      tellUnsafe(f, failed, error, out.steps);
      break;
    }
    ++safe;
  }
  out.logSafe = safe >= 3;
  out.tmpSafe = safe >= 4;
  if (userFolder && safe >= 2) { // bvu sits in C:\Brimvault\log
    const char *failed = "";
    if (DWORD error = makeSafe(kUserFolder, out.steps, &failed)) tellUnsafe(kUserFolder, failed, error, out.steps);
  }
  return out;
}

void logFolderSteps(const LogFolders &folders) {
  for (const std::string &step : folders.steps) LOGI("%s", step.c_str());
}
