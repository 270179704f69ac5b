// kernel32's files and folders on the host's file system, with host symbolic links as reparse points and the
// machine's owners and DACLs checked for the calling process's account wherever something is created, written,
// deleted or renamed. Each call fails the documented way with the error the host's failure maps to.
#include <windows.h>

#include "emu/emu.h"
#include "emu/files.h"
#include "files/store.h"
#include "usb/topology.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu::files {

namespace {

bool fail(DWORD code) {
  SetLastError(code);
  return false;
}

std::string trimmed(std::string host) {
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  return host;
}

std::string parentKey(const std::string &k) {
  const size_t slash = k.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : k.substr(0, slash);
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The Windows error of a failed host call on `host`.
DWORD errorOf(int e, const std::string &host) {
  switch (e) {
  case ENOENT: {
    struct stat st;
    return stat(parentKey(key(host)).c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  }
  case ENOTDIR: return ERROR_PATH_NOT_FOUND;
  case EEXIST: return ERROR_ALREADY_EXISTS;
  case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
  case EXDEV: return 17; // ERROR_NOT_SAME_DEVICE
  case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
  default: return ERROR_ACCESS_DENIED;
  }
}

// Every right in `wanted` is granted.
bool holds(const Records &r, const Account &a, const std::string &k, DWORD wanted) {
  return (granted(r, a, k) & wanted) == wanted;
}

// Deleting or renaming away: DELETE on the object, or FILE_DELETE_CHILD on its folder.
bool mayRemove(const Records &r, const Account &a, const std::string &k) {
  return holds(r, a, k, DELETE) || holds(r, a, parentKey(k), FILE_DELETE_CHILD);
}

// The descriptor a new object gets: the one given (its owner checked), else the creator's default owner.
DWORD newDescriptor(const LPSECURITY_ATTRIBUTES sa, const Account &a, Descriptor *sd) {
  *sd = Descriptor();
  if (sa && sa->lpSecurityDescriptor && !fromBytes(sa->lpSecurityDescriptor, sd)) return ERROR_INVALID_SECURITY_DESCR;
  if (sd->owner.empty()) sd->owner = defaultOwner(a);
  else if (!mayOwn(a, sd->owner)) return ERROR_INVALID_OWNER;
  return 0;
}

DWORD attributesOf(const std::string &path, const struct stat &lst, const std::string &name) {
  DWORD attributes = 0;
  struct stat st = lst;
  if (S_ISLNK(lst.st_mode)) {
    attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (stat(path.c_str(), &st) != 0) st = lst;
  }
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
  return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

FILETIME fileTime(const struct timespec &t) {
  const unsigned long long ticks = (static_cast<unsigned long long>(t.tv_sec) + 11644473600ull) * 10000000ull +
                                   static_cast<unsigned long long>(t.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

bool wildcardMatch(const char16_t *mask, const char16_t *name) {
  auto fold = [](char16_t c) { return c < 128 ? static_cast<char16_t>(std::tolower(c)) : c; };
  if (*mask == 0) return *name == 0;
  if (*mask == u'*') return wildcardMatch(mask + 1, name) || (*name && wildcardMatch(mask, name + 1));
  if (*name == 0) return false;
  return (*mask == u'?' || fold(*mask) == fold(*name)) && wildcardMatch(mask + 1, name + 1);
}

struct FindObject : KernelObject {
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
  const char *typeName() const override { return "Find"; }
};

struct FileObject : KernelObject {
  int fd = -1;
  DWORD access = 0;
  ~FileObject() override {
    if (fd >= 0) ::close(fd);
  }
  const char *typeName() const override { return "File"; }
};

HANDLE createFile(const std::string &host, DWORD access, LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags) {
  const Account account = currentAccount();
  access = mapGeneric(access);
  const bool noFollow = flags & FILE_FLAG_OPEN_REPARSE_POINT;
  int fd = -1;
  bool existed = false;
  const DWORD rc = update([&](Records &records, bool &changed) -> DWORD {
    struct stat st;
    existed = (noFollow ? lstat(host.c_str(), &st) : stat(host.c_str(), &st)) == 0;
    if (existed) {
      if (disposition == CREATE_NEW) return ERROR_FILE_EXISTS;
      if (S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) return ERROR_ACCESS_DENIED;
      char resolved[4096];
      const std::string k = noFollow || !realpath(host.c_str(), resolved) ? key(host) : std::string(resolved);
      DWORD wanted = access;
      if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) wanted |= FILE_WRITE_DATA;
      if (!holds(records, account, k, wanted)) return ERROR_ACCESS_DENIED;
      int mode = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? ((access & FILE_READ_DATA) ? O_RDWR : O_WRONLY)
                                                                 : O_RDONLY;
      if (S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)) mode = O_PATH;
      if ((access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA)) mode |= O_APPEND; // every write at the end
      if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) mode |= O_TRUNC;
      fd = ::open(host.c_str(), mode | O_CLOEXEC | (noFollow ? O_NOFOLLOW : 0));
      return fd < 0 ? errorOf(errno, host) : 0;
    }
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) return errorOf(ENOENT, host);
    const std::string k = key(host);
    if (!holds(records, account, parentKey(k), FILE_ADD_FILE)) return exists(parentKey(k)) ? ERROR_ACCESS_DENIED
                                                                                         : ERROR_PATH_NOT_FOUND;
    Descriptor sd;
    if (DWORD bad = newDescriptor(sa, account, &sd)) return bad;
    int mode = (access & FILE_READ_DATA) ? O_RDWR : O_WRONLY;
    if ((access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA)) mode |= O_APPEND;
    fd = ::open(host.c_str(), mode | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errorOf(errno, host);
    put(records, k, sd);
    changed = true;
    return 0;
  });
  if (rc) {
    if (fd >= 0) ::close(fd);
    SetLastError(rc);
    return INVALID_HANDLE_VALUE;
  }
  auto file = std::make_shared<FileObject>();
  file->fd = fd;
  file->access = access;
  HANDLE h = insertHandle(file);
  // Documented: an existing file opened by OPEN_ALWAYS or CREATE_ALWAYS says so through the last error.
  SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
  return h;
}

} // namespace

std::vector<std::string> debugOutput() {
  std::vector<std::string> lines;
  FILE *f = std::fopen((machineRoot() + "/debug/output").c_str(), "r");
  if (!f) return lines;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, f)) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  std::fclose(f);
  return lines;
}

} // namespace emu::files

using namespace emu;
using namespace emu::files;

extern "C" DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  EMU_FAIL_POINT("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
  if (!lpFileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_FILE_ATTRIBUTES;
  const std::string host = trimmed(hostPath(lpFileName));
  struct stat st;
  if (lstat(host.c_str(), &st) != 0) return SetLastError(errorOf(errno, host)), INVALID_FILE_ATTRIBUTES;
  return attributesOf(host, st, host.substr(host.find_last_of('/') + 1));
}

extern "C" BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  EMU_FAIL_POINT("CreateDirectoryW", FALSE);
  if (!lpPathName) return fail(ERROR_INVALID_PARAMETER);
  const std::string host = trimmed(hostPath(lpPathName));
  const Account account = currentAccount();
  const DWORD rc = update([&](Records &records, bool &changed) -> DWORD {
    if (exists(host)) return ERROR_ALREADY_EXISTS;
    const std::string k = key(host);
    if (!exists(parentKey(k))) return ERROR_PATH_NOT_FOUND;
    if (!holds(records, account, parentKey(k), FILE_ADD_SUBDIRECTORY)) return ERROR_ACCESS_DENIED;
    Descriptor sd;
    if (DWORD bad = newDescriptor(lpSecurityAttributes, account, &sd)) return bad;
    if (mkdir(host.c_str(), 0777) != 0) return errorOf(errno, host);
    put(records, k, sd);
    changed = true;
    return 0;
  });
  return rc ? fail(rc) : TRUE;
}

extern "C" BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  EMU_FAIL_POINT("RemoveDirectoryW", FALSE);
  if (!lpPathName) return fail(ERROR_INVALID_PARAMETER);
  const std::string host = trimmed(hostPath(lpPathName));
  const Account account = currentAccount();
  const DWORD rc = update([&](Records &records, bool &changed) -> DWORD {
    struct stat lst;
    if (lstat(host.c_str(), &lst) != 0) return errorOf(errno, host);
    const std::string k = key(host);
    if (!(attributesOf(host, lst, "") & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    if (!mayRemove(records, account, k)) return ERROR_ACCESS_DENIED;
    // A link goes as a link: what it points at stays untouched.
    if ((S_ISLNK(lst.st_mode) ? ::unlink(host.c_str()) : ::rmdir(host.c_str())) != 0) return errorOf(errno, host);
    forget(records, k);
    changed = true;
    return 0;
  });
  return rc ? fail(rc) : TRUE;
}

extern "C" BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  EMU_FAIL_POINT("DeleteFileW", FALSE);
  if (!lpFileName) return fail(ERROR_INVALID_PARAMETER);
  const std::string host = trimmed(hostPath(lpFileName));
  const Account account = currentAccount();
  const DWORD rc = update([&](Records &records, bool &changed) -> DWORD {
    struct stat lst;
    if (lstat(host.c_str(), &lst) != 0) return errorOf(errno, host);
    if (attributesOf(host, lst, "") & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
    const std::string k = key(host);
    if (!mayRemove(records, account, k)) return ERROR_ACCESS_DENIED;
    if (::unlink(host.c_str()) != 0) return errorOf(errno, host);
    forget(records, k);
    changed = true;
    return 0;
  });
  return rc ? fail(rc) : TRUE;
}

extern "C" BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  EMU_FAIL_POINT("MoveFileExW", FALSE);
  if (!lpExistingFileName || !lpNewFileName) return fail(ERROR_INVALID_PARAMETER);
  const std::string from = trimmed(hostPath(lpExistingFileName)), to = trimmed(hostPath(lpNewFileName));
  const Account account = currentAccount();
  const DWORD rc = update([&](Records &records, bool &changed) -> DWORD {
    struct stat lst, dst;
    if (lstat(from.c_str(), &lst) != 0) return errorOf(errno, from);
    const bool isDir = attributesOf(from, lst, "") & FILE_ATTRIBUTE_DIRECTORY;
    const std::string kf = key(from), kt = key(to);
    const bool replacing = lstat(to.c_str(), &dst) == 0;
    if (replacing && !(dwFlags & MOVEFILE_REPLACE_EXISTING)) return ERROR_ALREADY_EXISTS;
    if (replacing && (S_ISDIR(dst.st_mode) || isDir)) return ERROR_ACCESS_DENIED;
    if (!exists(parentKey(kt))) return ERROR_PATH_NOT_FOUND;
    if (!mayRemove(records, account, kf) ||
        !holds(records, account, parentKey(kt), isDir ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE) ||
        (replacing && !mayRemove(records, account, kt)))
      return ERROR_ACCESS_DENIED;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), replacing ? 0 : RENAME_NOREPLACE) != 0)
      return errorOf(errno, to);
    emu::files::rename(records, kf, kt);
    changed = true;
    return 0;
  });
  return rc ? fail(rc) : TRUE;
}

extern "C" HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  EMU_FAIL_POINT("FindFirstFileW", INVALID_HANDLE_VALUE);
  if (!lpFileName || !lpFindFileData) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  const std::u16string pattern(reinterpret_cast<const char16_t *>(lpFileName));
  const size_t cut = pattern.find_last_of(u"\\/");
  const std::u16string mask = cut == std::u16string::npos ? pattern : pattern.substr(cut + 1);
  const std::string folder =
      cut == std::u16string::npos ? std::string(".") : hostPath(toUtf8(reinterpret_cast<const WCHAR *>(pattern.c_str()),
                                                                       static_cast<std::ptrdiff_t>(cut ? cut : 1)));
  DIR *dir = opendir(folder.c_str()); // the folder itself is followed, as Windows lists through a link
  if (!dir) return SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED),
                   INVALID_HANDLE_VALUE;
  auto find = std::make_shared<FindObject>();
  while (const dirent *e = readdir(dir)) {
    const std::string name = e->d_name;
    const std::u16string wide = toUtf16(name);
    if (wide.size() >= MAX_PATH || !wildcardMatch(mask.c_str(), wide.c_str())) continue;
    const std::string path = folder + "/" + name;
    struct stat lst;
    if (lstat(path.c_str(), &lst) != 0) continue;
    WIN32_FIND_DATAW data{};
    data.dwFileAttributes = attributesOf(path, lst, name);
    data.ftCreationTime = fileTime(lst.st_ctim);
    data.ftLastAccessTime = fileTime(lst.st_atim);
    data.ftLastWriteTime = fileTime(lst.st_mtim);
    const unsigned long long size = S_ISREG(lst.st_mode) ? static_cast<unsigned long long>(lst.st_size) : 0;
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    if (S_ISLNK(lst.st_mode)) data.dwReserved0 = static_cast<DWORD>(IO_REPARSE_TAG_SYMLINK);
    std::copy(wide.begin(), wide.end(), reinterpret_cast<char16_t *>(data.cFileName));
    find->entries.push_back(data);
  }
  closedir(dir);
  if (find->entries.empty()) return SetLastError(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  // NTFS lists a folder in name order, without regard to case.
  std::sort(find->entries.begin(), find->entries.end(), [](const WIN32_FIND_DATAW &a, const WIN32_FIND_DATAW &b) {
    return lstrcmpiW(a.cFileName, b.cFileName) < 0;
  });
  *lpFindFileData = find->entries[0];
  find->next = 1;
  return insertHandle(find);
}

extern "C" BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  EMU_FAIL_POINT("FindNextFileW", FALSE);
  auto find = lookupHandleAs<FindObject>(hFindFile);
  if (!find) return fail(ERROR_INVALID_HANDLE);
  if (!lpFindFileData) return fail(ERROR_INVALID_PARAMETER);
  if (find->next >= find->entries.size()) return fail(ERROR_NO_MORE_FILES);
  *lpFindFileData = find->entries[find->next++];
  return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE hFindFile) {
  EMU_FAIL_POINT("FindClose", FALSE);
  if (!lookupHandleAs<FindObject>(hFindFile)) return fail(ERROR_INVALID_HANDLE);
  closeHandleEntry(hFindFile);
  return TRUE;
}

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES
                                     lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE) {
  EMU_FAIL_POINT("CreateFileW", INVALID_HANDLE_VALUE);
  if (!lpFileName) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  const std::string name = toUtf8(lpFileName);
  // "\\.\..." and "\\?\..." name devices: the USB controllers and hubs.
  if (name.rfind("\\\\", 0) == 0) return usb::createDeviceFile(name, dwCreationDisposition);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
    return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
  return createFile(trimmed(hostPath(name)), dwDesiredAccess, lpSecurityAttributes, dwCreationDisposition,
                    dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED) {
  EMU_FAIL_POINT("WriteFile", FALSE);
  auto file = lookupHandleAs<FileObject>(hFile);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (!(file->access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) return fail(ERROR_ACCESS_DENIED);
  const ssize_t n = ::write(file->fd, lpBuffer, nNumberOfBytesToWrite);
  if (n < 0) return fail(errno == ENOSPC ? 112 /* ERROR_DISK_FULL */ : ERROR_ACCESS_DENIED);
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(n);
  return TRUE;
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED) {
  EMU_FAIL_POINT("ReadFile", FALSE);
  auto file = lookupHandleAs<FileObject>(hFile);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (!(file->access & FILE_READ_DATA)) return fail(ERROR_ACCESS_DENIED);
  const ssize_t n = ::read(file->fd, lpBuffer, nNumberOfBytesToRead);
  if (n < 0) return fail(ERROR_ACCESS_DENIED);
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

// No debugger listens on the emulated machine: the text goes to <root>/debug/output, one line per call.
extern "C" void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  if (!lpOutputString) return;
  const DWORD keep = GetLastError();
  const std::string folder = machineRoot() + "/debug";
  ::mkdir(folder.c_str(), 0777);
  const std::string line = std::to_string(GetCurrentProcessId()) + " " + toUtf8(lpOutputString) + "\n";
  const int fd = ::open((folder + "/output").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd >= 0) {
    if (::write(fd, line.data(), line.size()) < 0) { /* nothing to tell */ }
    ::close(fd);
  }
  SetLastError(keep);
}
