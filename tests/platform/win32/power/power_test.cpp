// The power area: schemes and their size protocol, ranges, and PDH counters over a processor of the test's own
// and over the host's real one.
#include <gtest/gtest.h>

#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>
#include <powrprof.h>

#include <cstdio>

#include "emu/emu.h"
#include "emu/power.h"
#include "fakehost.h"
#include "testenv.h"

namespace {

using namespace emu::power;

class Power : public ::testing::Test {
protected:
  void SetUp() override {
    std::remove((testenv::root() + "/power/schemes.json").c_str()); // a new machine's schemes
    setHostFileRoot("");
    emu::clearFailures();
  }
  void TearDown() override { setHostFileRoot(""); }
};

TEST_F(Power, ActiveSchemeNameFollowsTheSizeProtocol) {
  GUID *active = nullptr;
  ASSERT_EQ(PowerGetActiveScheme(nullptr, &active), ERROR_SUCCESS);
  EXPECT_TRUE(sameGuid(*active, kBalanced));
  DWORD size = 0;
  ASSERT_EQ(PowerReadFriendlyName(nullptr, active, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(u"Balanced"));
  UCHAR small[4];
  DWORD smallSize = sizeof small;
  EXPECT_EQ(PowerReadFriendlyName(nullptr, active, nullptr, nullptr, small, &smallSize), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, size);
  std::u16string name(size / 2, u'x');
  ASSERT_EQ(PowerReadFriendlyName(nullptr, active, nullptr, nullptr, reinterpret_cast<PUCHAR>(&name[0]), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(name, std::u16string(u"Balanced", 9));
  update([](Machine &m, bool &changed) -> DWORD { // a name stored without its NUL is given without one
    m.find(kBalanced)->nameTerminated = false;
    changed = true;
    return 0;
  });
  ASSERT_EQ(PowerReadFriendlyName(nullptr, active, nullptr, nullptr, reinterpret_cast<PUCHAR>(&name[0]), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(u"Balanced") - sizeof(WCHAR));
  LocalFree(active);
  const GUID unknown{1, 2, 3, {4}};
  EXPECT_EQ(PowerReadFriendlyName(nullptr, &unknown, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(Power, WritesRespectTheSettingRangeAndTakeEffectWhenApplied) {
  DWORD value = 0;
  ASSERT_EQ(PowerReadACValueIndex(nullptr, &kHighPerformance, &kProcessorSubgroup, &kThrottleMinimum, &value), 0u);
  EXPECT_EQ(value, 100u);
  EXPECT_EQ(PowerWriteACValueIndex(nullptr, &kBalanced, &kProcessorSubgroup, &kThrottleMaximum, 101),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(PowerWriteACValueIndex(nullptr, &kBalanced, &kProcessorSubgroup, &kThrottleMaximum, 0xFFFFFFFB),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(PowerWriteACValueIndex(nullptr, &kBalanced, &kProcessorSubgroup, &kThrottleMaximum, 70), 0u);
  EXPECT_EQ(load().find(kBalanced)->find(kProcessorSubgroup, kThrottleMaximum)->ac, 70u);
  EXPECT_EQ(load().applied, 0u);
  ASSERT_EQ(PowerSetActiveScheme(nullptr, &kPowerSaver), 0u);
  EXPECT_TRUE(sameGuid(load().active, kPowerSaver));
  EXPECT_EQ(load().applied, 1u);
  const GUID unknown{1, 2, 3, {4}};
  EXPECT_EQ(PowerSetActiveScheme(nullptr, &unknown), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(PowerReadACValueIndex(nullptr, &kBalanced, &kProcessorSubgroup, &unknown, &value),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

struct Query {
  PDH_HQUERY q = nullptr;
  Query() { EXPECT_EQ(PdhOpenQueryW(nullptr, 0, &q), ERROR_SUCCESS); }
  ~Query() { PdhCloseQuery(q); }
  PDH_HCOUNTER add(const char16_t *path, bool english = true) {
    PDH_HCOUNTER c = nullptr;
    const PDH_STATUS s = english ? PdhAddEnglishCounterW(q, path, 0, &c) : PdhAddCounterW(q, path, 0, &c);
    EXPECT_EQ(s, ERROR_SUCCESS);
    return c;
  }
};

PDH_STATUS read(PDH_HCOUNTER c, DWORD format, PDH_FMT_COUNTERVALUE *v) {
  return PdhGetFormattedCounterValue(c, format, nullptr, v);
}

TEST_F(Power, CountersComeFromTheProcessorsRateCountersAfterTwoSamples) {
  const std::string dir = testenv::tempDir() + "/cpu-rates";
  fakehost::write(dir, {1000, 3000, 1800, 2400, 2400}, 2400);
  Query query;
  PDH_HCOUNTER time = query.add(u"\\Processor Information(0,_Total)\\% Processor Time");
  PDH_HCOUNTER perf = query.add(u"\\Processor Information(0,_Total)\\% Processor Performance");
  PDH_HCOUNTER flags = query.add(u"\\Processor Information(0,_Total)\\Performance Limit Flags");
  PDH_HCOUNTER cpu1 = query.add(u"\\Processor(1)\\% Processor Time");
  PDH_FMT_COUNTERVALUE v{};
  EXPECT_EQ(read(flags, PDH_FMT_LONG, &v), static_cast<PDH_STATUS>(PDH_INVALID_DATA)); // no sample yet
  ASSERT_EQ(PdhCollectQueryData(query.q), ERROR_SUCCESS);
  EXPECT_EQ(read(time, PDH_FMT_DOUBLE, &v), static_cast<PDH_STATUS>(PDH_INVALID_DATA));
  EXPECT_EQ(v.CStatus, PDH_CSTATUS_INVALID_DATA);
  ASSERT_EQ(read(flags, PDH_FMT_LONG, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 0);

  // 300 busy of 400 ticks per processor; clocks at 3000 against 2400 rated, capped by cpufreq below 3600.
  fakehost::write(dir, {1300, 3100, 3000, 3000, 3600}, 2400);
  ASSERT_EQ(PdhCollectQueryData(query.q), ERROR_SUCCESS);
  ASSERT_EQ(read(time, PDH_FMT_DOUBLE, &v), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(v.doubleValue, 75.0);
  ASSERT_EQ(read(cpu1, PDH_FMT_LONG, &v), ERROR_SUCCESS);
  EXPECT_EQ(v.longValue, 75);
  ASSERT_EQ(read(perf, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, &v), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(v.doubleValue, 100.0 * (1800 + 3000) / 2 / 2400);
  ASSERT_EQ(read(perf, PDH_FMT_DOUBLE, &v), ERROR_SUCCESS);
  EXPECT_DOUBLE_EQ(v.doubleValue, 100.0); // capped unless asked not to be
  ASSERT_EQ(read(flags, PDH_FMT_LONG, &v), ERROR_SUCCESS);
  EXPECT_NE(v.longValue, 0);
}

TEST_F(Power, CounterNamesFollowTheDisplayLanguageExceptEnglishAdds) {
  update([](Machine &m, bool &changed) -> DWORD {
    m.displayLanguage = "de-DE";
    changed = true;
    return 0;
  });
  Query query;
  PDH_HCOUNTER c = nullptr;
  EXPECT_EQ(PdhAddCounterW(query.q, u"\\Processor Information(0,_Total)\\% Processor Time", 0, &c),
            static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT));
  query.add(u"\\Prozessorinformationen(0,_Total)\\Prozessorzeit (%)", false);
  query.add(u"\\Processor Information(0,_Total)\\% Processor Time");
  EXPECT_EQ(PdhAddEnglishCounterW(query.q, u"\\Processor Information(0,_Total)\\No Such Counter", 0, &c),
            static_cast<PDH_STATUS>(PDH_CSTATUS_NO_COUNTER));
  EXPECT_EQ(PdhAddEnglishCounterW(query.q, u"Processor Information(0,_Total)", 0, &c),
            static_cast<PDH_STATUS>(PDH_CSTATUS_BAD_COUNTERNAME));
  // A well-formed path to an object the machine lacks, with or without an instance.
  EXPECT_EQ(PdhAddEnglishCounterW(query.q, u"\\No Such Object\\No Such Counter", 0, &c),
            static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT));
  EXPECT_EQ(PdhAddEnglishCounterW(query.q, u"\\No Such Object(1)\\No Such Counter", 0, &c),
            static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT));

  Query missing; // its only counter names a processor that does not exist: nothing to collect
  missing.add(u"\\Processor(999)\\% Processor Time");
  EXPECT_EQ(PdhCollectQueryData(missing.q), static_cast<PDH_STATUS>(PDH_NO_DATA));
}

TEST_F(Power, ClosingAQueryInvalidatesItsCountersAndTheHostAnswersForReal) {
  const size_t before = openPdhQueries();
  PDH_HQUERY q = nullptr;
  ASSERT_EQ(PdhOpenQueryW(nullptr, 0, &q), ERROR_SUCCESS);
  PDH_HCOUNTER time = nullptr;
  ASSERT_EQ(PdhAddEnglishCounterW(q, u"\\Processor Information(0,_Total)\\% Processor Time", 0, &time), 0);
  EXPECT_EQ(PdhCollectQueryData(q), ERROR_SUCCESS);
  Sleep(50);
  EXPECT_EQ(PdhCollectQueryData(q), ERROR_SUCCESS);
  PDH_FMT_COUNTERVALUE v{};
  ASSERT_EQ(read(time, PDH_FMT_DOUBLE, &v), ERROR_SUCCESS);
  EXPECT_GE(v.doubleValue, 0.0);
  EXPECT_LE(v.doubleValue, 100.0);
  EXPECT_EQ(openPdhQueries(), before + 1);
  ASSERT_EQ(PdhCloseQuery(q), ERROR_SUCCESS);
  EXPECT_EQ(openPdhQueries(), before);
  EXPECT_EQ(read(time, PDH_FMT_DOUBLE, &v), static_cast<PDH_STATUS>(PDH_INVALID_HANDLE));
  EXPECT_EQ(PdhCollectQueryData(q), static_cast<PDH_STATUS>(PDH_INVALID_HANDLE));
  // A new machine knows its processors' nominal clock.
  ASSERT_GT(nominalMhz(), 0u);
  DWORD mhz = 0, bytes = sizeof mhz;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", u"~MHz",
                         RRF_RT_REG_DWORD, nullptr, &mhz, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(mhz, nominalMhz());
}

} // namespace
