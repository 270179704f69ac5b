// Helpers shared by the device-tools sources: resource holders, text from property bytes, wide-string views.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <QString>

#include <vector>

#include "Log/log.h"

// An error line under the name of the operation a shared helper works for, so the log names what the caller asked.
#define DT_LOGE_FOR(operation, ...)                                                                 \
  do {                                                                                             \
    if (xlogger_IsEnabledFor(kLevelError))                                                         \
      log_print(kLevelError, "UI", __FILE__, (operation), __LINE__, __VA_ARGS__);                  \
  } while (0)

namespace devicetools {

inline const WCHAR *wide(const QString &s) { return reinterpret_cast<const WCHAR *>(s.utf16()); }
// Some CfgMgr32 prototypes take a writable id although they never write it.
inline WCHAR *wideMutable(const QString &s) { return const_cast<WCHAR *>(wide(s)); }
// Codes go to "0x%x" as unsigned int on every compiler.
inline unsigned int hex(DWORD code) { return static_cast<unsigned int>(code); }

// Text of a property value: up to the first NUL, never past the bytes the call returned (an odd byte counts for
// nothing), also when the value carries no NUL at all.
inline QString textOf(const BYTE *bytes, size_t byteCount) {
  const size_t chars = byteCount / sizeof(WCHAR);
  const auto *units = reinterpret_cast<const char16_t *>(bytes);
  size_t n = 0;
  while (n < chars && units[n] != 0) ++n;
  return QString::fromUtf16(units, static_cast<qsizetype>(n));
}

// A value buffer: the reported size plus one zero character, so a reader never runs off its end.
inline std::vector<BYTE> valueBuffer(size_t reportedBytes) { return std::vector<BYTE>(reportedBytes + sizeof(WCHAR), 0); }

// One move-only owner per resource kind; Kind names the type, what "none" is, and how to close it.
template <class Kind> class Owned {
public:
  using Type = typename Kind::Type;
  Owned() = default;
  explicit Owned(Type value) : value_(value) {}
  ~Owned() { reset(); }
  Owned(Owned &&other) noexcept : value_(other.release()) {}
  Owned &operator=(Owned &&other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.release();
    }
    return *this;
  }
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;

  Type get() const { return value_; }
  bool valid() const { return value_ != Kind::none(); }
  Type release() {
    Type v = value_;
    value_ = Kind::none();
    return v;
  }
  // For out-parameters: closes what is held and hands out the slot.
  Type *receive() {
    reset();
    return &value_;
  }
  void reset() {
    if (valid()) Kind::close(value_);
    value_ = Kind::none();
  }

private:
  Type value_ = Kind::none();
};

// Device information sets: INVALID_HANDLE_VALUE is "none".
struct DevInfoSetKind {
  using Type = HDEVINFO;
  static Type none() { return INVALID_HANDLE_VALUE; }
  static void close(Type set) { SetupDiDestroyDeviceInfoList(set); }
};
using DevInfoSet = Owned<DevInfoSetKind>;

// Loaded modules: NULL is "none".
struct ModuleKind {
  using Type = HMODULE;
  static Type none() { return nullptr; }
  static void close(Type module) { FreeLibrary(module); }
};
using Module = Owned<ModuleKind>;

// The compatible-driver list of one element, destroyed on every path out of the scope that built it.
class CompatDriverList {
public:
  CompatDriverList(HDEVINFO set, SP_DEVINFO_DATA *element) : set_(set), element_(element) {}
  ~CompatDriverList() { SetupDiDestroyDriverInfoList(set_, element_, SPDIT_COMPATDRIVER); }
  CompatDriverList(const CompatDriverList &) = delete;
  CompatDriverList &operator=(const CompatDriverList &) = delete;

private:
  HDEVINFO set_;
  SP_DEVINFO_DATA *element_;
};

// An element with its size field set, everything else zero.
inline SP_DEVINFO_DATA emptyElement() {
  SP_DEVINFO_DATA element;
  ZeroMemory(&element, sizeof(element));
  element.cbSize = sizeof(SP_DEVINFO_DATA);
  return element;
}

// Status word and problem number of a node.
struct NodeStatus {
  CONFIGRET result = CR_SUCCESS;
  ULONG status = 0;
  ULONG problem = 0;
  bool ok() const { return result == CR_SUCCESS; }
  bool hasProblem() const { return (status & DN_HAS_PROBLEM) != 0; }
};
inline NodeStatus nodeStatus(DEVINST node) {
  NodeStatus s;
  s.result = CM_Get_DevNode_Status(&s.status, &s.problem, node, 0);
  return s;
}

} // namespace devicetools
