// powrprof: the active scheme, scheme and setting names, AC values, over the machine's power schemes.
// The calls return their error code and leave the last error alone.
#include <windows.h>
#include <powrprof.h>

#include "emu/emu.h"
#include "emu/power.h"

#include <cstring>

using namespace emu::power;

namespace {

// Names of the settings the machine carries, as PowerReadFriendlyName gives them.
const char16_t *settingName(const GUID *subgroup, const GUID *setting) {
  if (!subgroup || !sameGuid(*subgroup, kProcessorSubgroup)) return nullptr;
  if (!setting) return u"Processor power management";
  if (sameGuid(*setting, kThrottleMinimum)) return u"Minimum processor state";
  if (sameGuid(*setting, kThrottleMaximum)) return u"Maximum processor state";
  if (sameGuid(*setting, kPerfIncreasePolicy)) return u"Processor performance increase policy";
  return nullptr;
}

} // namespace

extern "C" DWORD WINAPI PowerGetActiveScheme(HKEY UserRootPowerKey, GUID **ActivePolicyGuid) {
  if (DWORD rc = emu::failureFor("PowerGetActiveScheme")) return rc;
  if (UserRootPowerKey || !ActivePolicyGuid) return ERROR_INVALID_PARAMETER;
  auto *guid = static_cast<GUID *>(LocalAlloc(LMEM_FIXED, sizeof(GUID)));
  if (!guid) return ERROR_NOT_ENOUGH_MEMORY;
  *guid = load().active;
  *ActivePolicyGuid = guid; // the caller frees it with LocalFree
  return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI PowerSetActiveScheme(HKEY UserRootPowerKey, const GUID *SchemeGuid) {
  if (DWORD rc = emu::failureFor("PowerSetActiveScheme")) return rc;
  if (UserRootPowerKey || !SchemeGuid) return ERROR_INVALID_PARAMETER;
  return update([&](Machine &m, bool &changed) -> DWORD {
    if (!m.find(*SchemeGuid)) return ERROR_FILE_NOT_FOUND;
    m.active = *SchemeGuid;
    ++m.applied; // applying the active scheme again is what makes written values take effect
    changed = true;
    return ERROR_SUCCESS;
  });
}

extern "C" DWORD WINAPI PowerReadFriendlyName(HKEY RootPowerKey, const GUID *SchemeGuid,
                                              const GUID *SubGroupOfPowerSettingsGuid, const GUID *PowerSettingGuid,
                                              PUCHAR Buffer, LPDWORD BufferSize) {
  if (DWORD rc = emu::failureFor("PowerReadFriendlyName")) return rc;
  if (RootPowerKey || !BufferSize) return ERROR_INVALID_PARAMETER;
  std::u16string name;
  bool terminated = true;
  if (SubGroupOfPowerSettingsGuid || PowerSettingGuid) {
    const char16_t *n = settingName(SubGroupOfPowerSettingsGuid, PowerSettingGuid);
    if (!n) return ERROR_FILE_NOT_FOUND;
    name = n;
  } else {
    const Machine m = load();
    const Scheme *s = SchemeGuid ? m.find(*SchemeGuid) : nullptr;
    if (!s) return ERROR_FILE_NOT_FOUND;
    name = s->name;
    terminated = s->nameTerminated;
  }
  const DWORD needed = static_cast<DWORD>((name.size() + (terminated ? 1 : 0)) * sizeof(WCHAR));
  if (!Buffer) {
    *BufferSize = needed;
    return ERROR_SUCCESS;
  }
  if (*BufferSize < needed) {
    *BufferSize = needed;
    return ERROR_MORE_DATA;
  }
  std::memcpy(Buffer, name.c_str(), needed);
  *BufferSize = needed;
  return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI PowerReadACValueIndex(HKEY RootPowerKey, const GUID *SchemeGuid,
                                              const GUID *SubGroupOfPowerSettingsGuid, const GUID *PowerSettingGuid,
                                              LPDWORD AcValueIndex) {
  if (DWORD rc = emu::failureFor("PowerReadACValueIndex")) return rc;
  if (RootPowerKey || !SchemeGuid || !SubGroupOfPowerSettingsGuid || !PowerSettingGuid || !AcValueIndex)
    return ERROR_INVALID_PARAMETER;
  Machine m = load();
  Scheme *s = m.find(*SchemeGuid);
  Setting *v = s ? s->find(*SubGroupOfPowerSettingsGuid, *PowerSettingGuid) : nullptr;
  if (!v) return ERROR_FILE_NOT_FOUND;
  *AcValueIndex = v->ac;
  return ERROR_SUCCESS;
}

extern "C" DWORD WINAPI PowerWriteACValueIndex(HKEY RootPowerKey, const GUID *SchemeGuid,
                                               const GUID *SubGroupOfPowerSettingsGuid, const GUID *PowerSettingGuid,
                                               DWORD AcValueIndex) {
  if (DWORD rc = emu::failureFor("PowerWriteACValueIndex")) return rc;
  if (RootPowerKey || !SchemeGuid || !SubGroupOfPowerSettingsGuid || !PowerSettingGuid) return ERROR_INVALID_PARAMETER;
  return update([&](Machine &m, bool &changed) -> DWORD {
    Scheme *s = m.find(*SchemeGuid);
    Setting *v = s ? s->find(*SubGroupOfPowerSettingsGuid, *PowerSettingGuid) : nullptr;
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (AcValueIndex < v->minimum || AcValueIndex > v->maximum) return ERROR_INVALID_PARAMETER;
    changed = v->ac != AcValueIndex;
    v->ac = AcValueIndex;
    return ERROR_SUCCESS;
  });
}
