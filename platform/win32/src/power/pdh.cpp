// PDH: queries and counters over the host's real processors ("Processor Information" and "Processor" objects).
// A query keeps its last two samples; rate counters need both, as on Windows.
#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include "emu/emu.h"
#include "emu/power.h"
#include "power/host.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <numeric>

using namespace emu::power;

#define PDH_CSTATUS_NO_MACHINE ((DWORD)0x800007D0)
#define PDH_FILE_NOT_FOUND ((DWORD)0xC0000BD1)

namespace {

enum class Kind { ProcessorTime, ProcessorPerformance, LimitFlags };

// Counter types as PdhGetFormattedCounterValue reports them.
constexpr DWORD kTimerInv = 0x21450500;  // PERF_100NSEC_TIMER_INV
constexpr DWORD kBulkRatio = 0x20020500; // a rate of two sampled values
constexpr DWORD kRawCount = 0x00010000;  // PERF_COUNTER_RAWCOUNT

std::atomic<size_t> g_openQueries{0};

struct Query final : emu::KernelObject {
  Query() { ++g_openQueries; }
  ~Query() override { --g_openQueries; }
  const char *typeName() const override { return "PdhQuery"; }
  std::mutex mutex;
  std::vector<HANDLE> counters;
  std::vector<ProcessorSample> samples; // the last two, oldest first
};

struct Counter final : emu::KernelObject {
  const char *typeName() const override { return "PdhCounter"; }
  std::weak_ptr<Query> query;
  Kind kind = Kind::ProcessorTime;
  int cpu = -1;          // -1: all processors
  bool instance = true;  // false: the instance named in the path does not exist (yet)
};

struct Names {
  const char16_t *information, *processor, *time, *performance, *flags;
};
const Names kEnglish{u"Processor Information", u"Processor", u"% Processor Time", u"% Processor Performance",
                     u"Performance Limit Flags"};
const Names kGerman{u"Prozessorinformationen", u"Prozessor", u"Prozessorzeit (%)", u"Prozessorleistung (%)",
                    u"Leistungseinschränkungsflags"};

bool same(const std::u16string &a, const char16_t *b) {
  std::u16string bb(b);
  return a.size() == bb.size() && std::equal(a.begin(), a.end(), bb.begin(), [](char16_t x, char16_t y) {
           auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

// "N" as a processor number, -2 when it is not one.
int processorNumber(const std::u16string &text) {
  if (text.empty() || text.size() > 4) return -2;
  int n = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return -2;
    n = n * 10 + (c - u'0');
  }
  return n;
}

// Parses "\Object(Instance)\Counter" in the given language into a counter, or fails with the PDH status.
PDH_STATUS parsePath(const WCHAR *pathText, const Names &names, Counter *out) {
  if (!pathText) return PDH_INVALID_ARGUMENT;
  const std::u16string path(pathText);
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') return PDH_CSTATUS_NO_MACHINE; // only this machine
  if (path.empty() || path[0] != u'\\') return PDH_CSTATUS_BAD_COUNTERNAME;
  // The object's name ends at its instance or at the counter: an object the machine lacks is that, whatever
  // follows it.
  const size_t nameEnd = path.find_first_of(u"(\\", 1);
  if (nameEnd == std::u16string::npos) return PDH_CSTATUS_BAD_COUNTERNAME;
  const std::u16string object = path.substr(1, nameEnd - 1);
  const bool information = same(object, names.information);
  if (!information && !same(object, names.processor)) return PDH_CSTATUS_NO_OBJECT;
  const size_t open = path.find(u'(');
  const size_t close = open == std::u16string::npos ? open : path.find(u')', open);
  const size_t slash = path.find(u'\\', close == std::u16string::npos ? 1 : close);
  if (open != nameEnd || close == std::u16string::npos || slash != close + 1)
    return PDH_CSTATUS_BAD_COUNTERNAME; // both objects have instances
  const std::u16string instance = path.substr(open + 1, close - open - 1);
  const std::u16string counter = path.substr(slash + 1);
  if (same(counter, names.time))
    out->kind = Kind::ProcessorTime;
  else if (information && same(counter, names.performance))
    out->kind = Kind::ProcessorPerformance;
  else if (information && same(counter, names.flags))
    out->kind = Kind::LimitFlags;
  else
    return PDH_CSTATUS_NO_COUNTER;
  // "Processor Information" names its instances "<group>,<processor>"; this machine has group 0 only.
  std::u16string number = instance;
  if (information) {
    if (instance.compare(0, 2, u"0,") != 0 && !same(instance, u"_Total")) {
      out->instance = false;
      return ERROR_SUCCESS;
    }
    if (instance.compare(0, 2, u"0,") == 0) number = instance.substr(2);
  }
  if (same(number, u"_Total")) {
    out->cpu = -1;
  } else {
    out->cpu = processorNumber(number);
    out->instance = out->cpu >= 0 && static_cast<unsigned>(out->cpu) < processorCount();
  }
  return ERROR_SUCCESS;
}

PDH_STATUS addCounter(PDH_HQUERY hQuery, LPCWSTR path, PDH_HCOUNTER *phCounter, const Names &names) {
  auto query = emu::lookupHandleAs<Query>(hQuery);
  if (!query) return PDH_INVALID_HANDLE;
  if (!phCounter) return PDH_INVALID_ARGUMENT;
  auto counter = std::make_shared<Counter>();
  if (PDH_STATUS rc = parsePath(path, names, counter.get())) return rc;
  counter->query = query;
  std::lock_guard<std::mutex> lock(query->mutex);
  HANDLE h = emu::insertHandle(counter);
  query->counters.push_back(h);
  *phCounter = h;
  return ERROR_SUCCESS;
}

double averageMhz(const ProcessorSample &s, int cpu) {
  if (cpu >= 0) return static_cast<size_t>(cpu) < s.mhz.size() ? s.mhz[static_cast<size_t>(cpu)] : 0.0;
  return s.mhz.empty() ? 0.0 : std::accumulate(s.mhz.begin(), s.mhz.end(), 0.0) / static_cast<double>(s.mhz.size());
}

CpuTimes timesOf(const ProcessorSample &s, int cpu) {
  if (cpu < 0) return s.all;
  return static_cast<size_t>(cpu) < s.each.size() ? s.each[static_cast<size_t>(cpu)] : CpuTimes{};
}

// The counter's value over the query's samples; a CStatus other than valid when there is none.
DWORD computeValue(const Counter &c, const std::vector<ProcessorSample> &samples, double *value, DWORD *type) {
  if (!c.instance) return PDH_CSTATUS_NO_INSTANCE;
  const bool rate = c.kind != Kind::LimitFlags;
  if (samples.size() < (rate ? 2u : 1u)) return PDH_CSTATUS_INVALID_DATA;
  const ProcessorSample &now = samples.back();
  switch (c.kind) {
  case Kind::ProcessorTime: {
    const CpuTimes a = timesOf(samples.front(), c.cpu), b = timesOf(now, c.cpu);
    const double total = static_cast<double>(b.total - a.total);
    *value = (b.total > a.total && b.busy >= a.busy) ? 100.0 * static_cast<double>(b.busy - a.busy) / total : 0.0;
    *type = kTimerInv;
    return PDH_CSTATUS_VALID_DATA;
  }
  case Kind::ProcessorPerformance: {
    const unsigned nominal = nominalMhz();
    if (!nominal) return PDH_CSTATUS_INVALID_DATA;
    *value = 100.0 * (averageMhz(samples.front(), c.cpu) + averageMhz(now, c.cpu)) / 2.0 / nominal;
    *type = kBulkRatio;
    return PDH_CSTATUS_VALID_DATA;
  }
  case Kind::LimitFlags:
    *value = now.limitFlags;
    *type = kRawCount;
    return PDH_CSTATUS_VALID_DATA;
  }
  return PDH_CSTATUS_INVALID_DATA;
}

} // namespace

size_t emu::power::openPdhQueries() { return g_openQueries.load(); }

extern "C" PDH_STATUS WINAPI PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR, PDH_HQUERY *phQuery) {
  if (DWORD rc = emu::failureFor("PdhOpenQueryW")) return static_cast<PDH_STATUS>(rc);
  if (!phQuery) return PDH_INVALID_ARGUMENT;
  if (szDataSource) return PDH_FILE_NOT_FOUND; // real-time data only: no log files on this machine
  *phQuery = emu::insertHandle(std::make_shared<Query>());
  return ERROR_SUCCESS;
}

extern "C" PDH_STATUS WINAPI PdhAddCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR,
                                            PDH_HCOUNTER *phCounter) {
  if (DWORD rc = emu::failureFor("PdhAddCounterW")) return static_cast<PDH_STATUS>(rc);
  // Paths are in the machine's display language.
  const bool german = load().displayLanguage.compare(0, 2, "de") == 0;
  return addCounter(hQuery, szFullCounterPath, phCounter, german ? kGerman : kEnglish);
}

extern "C" PDH_STATUS WINAPI PdhAddEnglishCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath, DWORD_PTR,
                                                   PDH_HCOUNTER *phCounter) {
  if (DWORD rc = emu::failureFor("PdhAddEnglishCounterW")) return static_cast<PDH_STATUS>(rc);
  return addCounter(hQuery, szFullCounterPath, phCounter, kEnglish);
}

extern "C" PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY hQuery) {
  if (DWORD rc = emu::failureFor("PdhCollectQueryData")) return static_cast<PDH_STATUS>(rc);
  auto query = emu::lookupHandleAs<Query>(hQuery);
  if (!query) return PDH_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(query->mutex);
  // No counter, or none whose instance exists: nothing to collect.
  const bool anyInstance = std::any_of(query->counters.begin(), query->counters.end(), [](HANDLE h) {
    auto c = emu::lookupHandleAs<Counter>(h);
    return c && c->instance;
  });
  if (!anyInstance) return static_cast<PDH_STATUS>(PDH_NO_DATA);
  query->samples.push_back(sampleProcessors());
  if (query->samples.size() > 2) query->samples.erase(query->samples.begin());
  return ERROR_SUCCESS;
}

extern "C" PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat, LPDWORD lpdwType,
                                                         PPDH_FMT_COUNTERVALUE pValue) {
  if (DWORD rc = emu::failureFor("PdhGetFormattedCounterValue")) return static_cast<PDH_STATUS>(rc);
  auto counter = emu::lookupHandleAs<Counter>(hCounter);
  auto query = counter ? counter->query.lock() : nullptr;
  if (!query) return PDH_INVALID_HANDLE;
  const DWORD kind = dwFormat & (PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE);
  if (!pValue || (kind != PDH_FMT_LONG && kind != PDH_FMT_DOUBLE && kind != PDH_FMT_LARGE)) return PDH_INVALID_ARGUMENT;
  double value = 0;
  DWORD type = 0;
  DWORD status;
  {
    std::lock_guard<std::mutex> lock(query->mutex);
    status = computeValue(*counter, query->samples, &value, &type);
  }
  pValue->CStatus = status;
  if (status != PDH_CSTATUS_VALID_DATA) return static_cast<PDH_STATUS>(PDH_INVALID_DATA);
  if (counter->kind != Kind::LimitFlags && !(dwFormat & PDH_FMT_NOCAP100)) value = std::min(value, 100.0);
  if (dwFormat & PDH_FMT_1000) value *= 1000.0;
  if (lpdwType) *lpdwType = type;
  if (kind == PDH_FMT_DOUBLE)
    pValue->doubleValue = value;
  else if (kind == PDH_FMT_LONG)
    pValue->longValue = static_cast<LONG>(value);
  else
    pValue->largeValue = static_cast<LONGLONG>(value);
  return ERROR_SUCCESS;
}

extern "C" PDH_STATUS WINAPI PdhCloseQuery(PDH_HQUERY hQuery) {
  if (DWORD rc = emu::failureFor("PdhCloseQuery")) return static_cast<PDH_STATUS>(rc);
  auto query = emu::lookupHandleAs<Query>(hQuery);
  if (!query) return PDH_INVALID_HANDLE;
  {
    std::lock_guard<std::mutex> lock(query->mutex);
    for (HANDLE c : query->counters) emu::closeHandleEntry(c); // the counters go with their query
    query->counters.clear();
  }
  emu::closeHandleEntry(hQuery);
  return ERROR_SUCCESS;
}
