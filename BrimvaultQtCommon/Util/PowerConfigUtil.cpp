#include "Util/PowerConfigUtil.h"

#include <powrprof.h>

#include <memory>
#include <vector>

#include "Log/log.h"
#include "Util/regutil.h"

QPointer<PowerConfigUtil> PowerConfigUtil::s_instance;

namespace {

// The processor settings subgroup and the three settings read and written here.
const GUID kProcessorSettingsSubgroup = {0x54533251, 0x82BE, 0x4824, {0x96, 0xC1, 0x47, 0xB6, 0x0B, 0x74, 0x0D, 0x00}};
const GUID kProcessorThrottleMinimum = {0x893DEE8E, 0x2BEF, 0x41E0, {0x89, 0xC6, 0xB5, 0x5D, 0x09, 0x29, 0x96, 0x4C}};
const GUID kProcessorThrottleMaximum = {0xBC5038F7, 0x23E0, 0x4960, {0x96, 0xDA, 0x33, 0xAB, 0xAF, 0x59, 0x35, 0xEC}};
const GUID kProcessorPerfIncreasePolicy = {0x465E1F50, 0xB610, 0x473A, {0xAB, 0x58, 0x00, 0xD1, 0x07, 0x7D, 0xC4, 0x18}};

const WCHAR kLimitFlagsPath[] = TEXT("\\Processor Information(0,_Total)\\Performance Limit Flags");
const WCHAR kPerformancePath[] = TEXT("\\Processor Information(0,_Total)\\% Processor Performance");
const WCHAR kTimePath[] = TEXT("\\Processor Information(0,_Total)\\% Processor Time");

// The scheme identifier PowerGetActiveScheme hands out, released with LocalFree.
struct LocalFreer {
  void operator()(GUID *p) const { LocalFree(p); }
};
using ActiveScheme = std::unique_ptr<GUID, LocalFreer>;

DWORD fetchActiveScheme(ActiveScheme *scheme) {
  GUID *raw = nullptr;
  const DWORD rc = PowerGetActiveScheme(nullptr, &raw);
  scheme->reset(rc == ERROR_SUCCESS ? raw : nullptr);
  return rc;
}

int clampPercent(int value) { return value < 0 ? 0 : (value > 100 ? 100 : value); }

// A counter's formatted value; false when the handle is null or the read fails.
bool formatted(PDH_HCOUNTER counter, DWORD format, PDH_FMT_COUNTERVALUE *value) {
  return counter && PdhGetFormattedCounterValue(counter, format, nullptr, value) == ERROR_SUCCESS;
}

double doubleValue(PDH_HCOUNTER counter) {
  PDH_FMT_COUNTERVALUE value{};
  return formatted(counter, PDH_FMT_DOUBLE, &value) ? value.doubleValue : 0.0;
}

} // namespace

PowerConfigUtil::PowerConfigUtil(QObject *parent) : QObject(parent) {}

PowerConfigUtil::~PowerConfigUtil() { closePdhQuery(); }

void PowerConfigUtil::createInstance(QObject *parent) {
  if (!s_instance) s_instance = new PowerConfigUtil(parent);
}

PowerConfigUtil *PowerConfigUtil::instance() { return s_instance.data(); }

QString PowerConfigUtil::getCurrentPowerScheme() {
  ActiveScheme scheme;
  const DWORD rc = fetchActiveScheme(&scheme);
  if (rc != ERROR_SUCCESS) {
    LOGE("get power scheme failed, %d", static_cast<int>(rc));
    return QString();
  }
  DWORD bytes = 0;
  PowerReadFriendlyName(nullptr, scheme.get(), nullptr, nullptr, nullptr, &bytes);
  // Two spare zero bytes: a name stored without its NUL still ends inside the buffer.
  std::vector<UCHAR> buffer(static_cast<size_t>(bytes) + 2, 0);
  DWORD size = bytes;
  if (PowerReadFriendlyName(nullptr, scheme.get(), nullptr, nullptr, buffer.data(), &size) != ERROR_SUCCESS)
    return QString();
  const size_t chars = buffer.size() / sizeof(WCHAR);
  const char16_t *text = reinterpret_cast<const char16_t *>(buffer.data());
  size_t n = 0;
  while (n < chars && text[n] != 0) ++n;
  return QString::fromUtf16(text, static_cast<qsizetype>(n));
}

CpuPowerSettings PowerConfigUtil::getCpuPowerSettingsForAc() {
  CpuPowerSettings settings;
  ActiveScheme scheme;
  if (fetchActiveScheme(&scheme) != ERROR_SUCCESS) {
    LOGE("Cannot get active scheme");
    return settings;
  }
  DWORD value = 0;
  DWORD rc = PowerReadACValueIndex(nullptr, scheme.get(), &kProcessorSettingsSubgroup, &kProcessorThrottleMaximum, &value);
  if (rc == ERROR_SUCCESS) {
    settings.maxProcessorState = static_cast<int>(value);
    LOGI("max processor state: %d", settings.maxProcessorState);
  } else {
    LOGE("get max processor state failed: %d", static_cast<int>(rc));
  }
  rc = PowerReadACValueIndex(nullptr, scheme.get(), &kProcessorSettingsSubgroup, &kProcessorPerfIncreasePolicy, &value);
  if (rc == ERROR_SUCCESS) {
    settings.perfIncreasePolicy = static_cast<int>(value);
    LOGI("perf increase policy: %d", settings.perfIncreasePolicy);
  } else {
    LOGE("get perf increase policy failed: %d", static_cast<int>(rc));
  }
  rc = PowerReadACValueIndex(nullptr, scheme.get(), &kProcessorSettingsSubgroup, &kProcessorThrottleMinimum, &value);
  if (rc == ERROR_SUCCESS) {
    settings.minProcessorState = static_cast<int>(value);
    LOGI("min processor state: %d", settings.minProcessorState);
  } else {
    LOGE("get min processor state failed: %d", static_cast<int>(rc));
  }
  return settings;
}

bool PowerConfigUtil::setCpuPowerStateForAc(CpuPowerSettings &settings) {
  // Both bounds on both states: a negative value would reach the scheme as a huge DWORD.
  settings.maxProcessorState = clampPercent(settings.maxProcessorState);
  settings.minProcessorState = clampPercent(settings.minProcessorState);
  ActiveScheme scheme;
  DWORD rc = fetchActiveScheme(&scheme);
  if (rc != ERROR_SUCCESS) {
    LOGE("Cannot get active scheme, %d", static_cast<int>(rc));
    return false;
  }
  rc = PowerWriteACValueIndex(nullptr, scheme.get(), &kProcessorSettingsSubgroup, &kProcessorThrottleMaximum,
                              static_cast<DWORD>(settings.maxProcessorState));
  if (rc != ERROR_SUCCESS) {
    LOGE("write ac proccess max state failed, %d", static_cast<int>(rc));
    return false;
  }
  rc = PowerWriteACValueIndex(nullptr, scheme.get(), &kProcessorSettingsSubgroup, &kProcessorThrottleMinimum,
                              static_cast<DWORD>(settings.minProcessorState));
  if (rc != ERROR_SUCCESS) {
    LOGE("write ac proccess min state failed, %d", static_cast<int>(rc));
    return false;
  }
  rc = PowerSetActiveScheme(nullptr, scheme.get());
  if (rc != ERROR_SUCCESS) {
    LOGE("active scheme failed, %d", static_cast<int>(rc));
    return false;
  }
  LOGE("set processor power state max: %d, min： %d", settings.maxProcessorState, settings.minProcessorState);
  return true;
}

int PowerConfigUtil::getCpuMhz() {
  return static_cast<int>(RegUtil::getRegDwordValue(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                                                    "~MHz", static_cast<DWORD>(-1)));
}

void PowerConfigUtil::initPdhConfig() {
  closePdhQuery(); // a second call must not leak the first query and its counters
  PDH_STATUS status = PdhOpenQueryW(nullptr, 0, &pdhQuery);
  if (status != ERROR_SUCCESS) {
    pdhQuery = nullptr;
    LOGE("PdhOpenQuery failed: 0x%x", static_cast<unsigned>(status));
    return;
  }
  // English paths: counter names are localised on Windows in other display languages.
  struct {
    const WCHAR *path;
    PDH_HCOUNTER *handle;
  } const counters[] = {{kLimitFlagsPath, &performanceLimitFlagsCounter},
                        {kPerformancePath, &processorPerformanceCounter},
                        {kTimePath, &processorTimeCounter}};
  for (const auto &c : counters) {
    status = PdhAddEnglishCounterW(pdhQuery, c.path, 0, c.handle);
    if (status != ERROR_SUCCESS) {
      *c.handle = nullptr;
      LOGE("PdhAddCounter failed: 0x%x", static_cast<unsigned>(status));
    }
  }
  status = PdhCollectQueryData(pdhQuery);
  if (status != ERROR_SUCCESS) LOGE("PdhCollectQueryData failed: 0x%x", static_cast<unsigned>(status));
}

bool PowerConfigUtil::collectPdhData() { return pdhQuery && PdhCollectQueryData(pdhQuery) == ERROR_SUCCESS; }

double PowerConfigUtil::getProcessorPerformance() { return doubleValue(processorPerformanceCounter); }

double PowerConfigUtil::getProcessorTime() { return doubleValue(processorTimeCounter); }

double PowerConfigUtil::getFourthCounterValue() { return doubleValue(fourthCounter); }

bool PowerConfigUtil::isPerformanceLimited() {
  PDH_FMT_COUNTERVALUE value{};
  return formatted(performanceLimitFlagsCounter, PDH_FMT_LONG, &value) && value.longValue != 0;
}

PDH_STATUS PowerConfigUtil::closePdhQuery() {
  if (!pdhQuery) return 0;
  const PDH_STATUS status = PdhCloseQuery(pdhQuery); // the counters go with their query
  pdhQuery = nullptr;
  processorPerformanceCounter = nullptr;
  performanceLimitFlagsCounter = nullptr;
  fourthCounter = nullptr;
  processorTimeCounter = nullptr;
  return status;
}
