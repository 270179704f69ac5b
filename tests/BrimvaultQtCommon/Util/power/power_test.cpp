// PowerConfigUtil over the machine's power schemes and PDH; its log lines through the real back end.
#include <gtest/gtest.h>

#include <QObject>
#include <QString>

#include <cstdio>
#include <memory>

#include "../../../platform/win32/power/fakehost.h"
#include "Util/PowerConfigUtil.h"
#include <pdhmsg.h>
#include <powrprof.h>
#include "Util/threadutil.h"
#include "emu/emu.h"
#include "emu/power.h"
#include "emu/registry.h"
#include "logcapture.h"
#include "testenv.h"

namespace {

using emu::power::load;

DWORD acValue(const GUID &setting) {
  return load().find(load().active)->find(emu::power::kProcessorSubgroup, setting)->ac;
}

// "<level> <function> <message>": every line is logged under the operation's own name.
bool logged(const std::string &line) {
  for (const auto &l : logcapture::sinceMark())
    if (l.level + " " + l.function + " " + l.message == line) return true;
  return false;
}

class PowerConfig : public ::testing::Test {
protected:
  void SetUp() override {
    std::remove((testenv::root() + "/power/schemes.json").c_str());
    emu::power::setHostFileRoot("");
    emu::clearFailures();
    logcapture::open();
    logcapture::mark();
  }
  void TearDown() override {
    emu::clearFailures();
    emu::power::setHostFileRoot("");
  }
};

TEST_F(PowerConfig, BothStatesAreClampedToPercentBeforeTheyAreWrittenAndApplied) {
  CpuPowerSettings s;
  s.maxProcessorState = 150;
  s.minProcessorState = -5;
  ASSERT_TRUE(PowerConfigUtil::setCpuPowerStateForAc(s));
  EXPECT_EQ(s.maxProcessorState, 100);
  EXPECT_EQ(s.minProcessorState, 0);
  EXPECT_EQ(acValue(emu::power::kThrottleMaximum), 100u);
  EXPECT_EQ(acValue(emu::power::kThrottleMinimum), 0u);
  EXPECT_EQ(load().applied, 1u);
  EXPECT_TRUE(logged("E setCpuPowerStateForAc set processor power state max: 100, min\xEF\xBC\x9A 0"));

  s.maxProcessorState = -5; // would reach the scheme as 4294967291
  s.minProcessorState = 150;
  ASSERT_TRUE(PowerConfigUtil::setCpuPowerStateForAc(s));
  EXPECT_EQ(acValue(emu::power::kThrottleMaximum), 0u);
  EXPECT_EQ(acValue(emu::power::kThrottleMinimum), 100u);

  s.maxProcessorState = 20;
  s.minProcessorState = 80;
  ASSERT_TRUE(PowerConfigUtil::setCpuPowerStateForAc(s));
  EXPECT_EQ(acValue(emu::power::kThrottleMaximum), 20u);
  EXPECT_EQ(acValue(emu::power::kThrottleMinimum), 80u);
}

TEST_F(PowerConfig, AWriteThatFailsStopsBeforeTheSchemeIsApplied) {
  emu::injectFailure("PowerWriteACValueIndex", ERROR_ACCESS_DENIED, 2);
  CpuPowerSettings s;
  s.maxProcessorState = 90;
  s.minProcessorState = 10;
  EXPECT_FALSE(PowerConfigUtil::setCpuPowerStateForAc(s));
  EXPECT_TRUE(logged("E setCpuPowerStateForAc write ac proccess min state failed, 5"));
  EXPECT_EQ(acValue(emu::power::kThrottleMaximum), 90u); // stored, not applied
  EXPECT_EQ(load().applied, 0u);
  emu::injectFailure("PowerGetActiveScheme", ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(PowerConfigUtil::setCpuPowerStateForAc(s));
  EXPECT_TRUE(logged("E setCpuPowerStateForAc Cannot get active scheme, 2"));
}

TEST_F(PowerConfig, SettingsAndSchemeNameAreReadAnewEachTime) {
  CpuPowerSettings s = PowerConfigUtil::getCpuPowerSettingsForAc();
  EXPECT_EQ(s.minProcessorState, 5);
  EXPECT_EQ(s.maxProcessorState, 100);
  EXPECT_EQ(s.perfIncreasePolicy, 0);
  EXPECT_EQ(PowerConfigUtil::getCurrentPowerScheme(), "Balanced");
  ASSERT_EQ(PowerSetActiveScheme(nullptr, &emu::power::kHighPerformance), 0u);
  EXPECT_EQ(PowerConfigUtil::getCurrentPowerScheme(), "High performance");
  EXPECT_EQ(PowerConfigUtil::getCpuPowerSettingsForAc().minProcessorState, 100);
  emu::power::update([](emu::power::Machine &m, bool &changed) -> DWORD {
    emu::power::Scheme *s = m.find(m.active);
    s->name = u"Quiet office"; // fills its buffer to the last byte when stored without its NUL
    s->nameTerminated = false;
    changed = true;
    return 0;
  });
  EXPECT_EQ(PowerConfigUtil::getCurrentPowerScheme(), "Quiet office");

  emu::injectFailure("PowerReadACValueIndex", ERROR_FILE_NOT_FOUND, 2); // the policy, read second
  s = PowerConfigUtil::getCpuPowerSettingsForAc();
  EXPECT_EQ(s.maxProcessorState, 100);
  EXPECT_EQ(s.perfIncreasePolicy, -1);
  EXPECT_EQ(s.minProcessorState, 100);
  EXPECT_TRUE(logged("E getCpuPowerSettingsForAc get perf increase policy failed: 2"));

  emu::injectFailure("PowerGetActiveScheme", ERROR_ACCESS_DENIED);
  s = PowerConfigUtil::getCpuPowerSettingsForAc();
  EXPECT_EQ(s.minProcessorState, -1);
  EXPECT_EQ(s.maxProcessorState, -1);
  EXPECT_EQ(s.perfIncreasePolicy, -1);
  EXPECT_TRUE(logged("E getCpuPowerSettingsForAc Cannot get active scheme"));
  EXPECT_TRUE(PowerConfigUtil::getCurrentPowerScheme().isEmpty());
  EXPECT_TRUE(logged("E getCurrentPowerScheme get power scheme failed, 5"));
}

TEST_F(PowerConfig, TheNominalClockComesFromTheRegistry) {
  EXPECT_EQ(PowerConfigUtil::getCpuMhz(), static_cast<int>(emu::power::nominalMhz()));
  ASSERT_TRUE(emu::regDeleteValue("HKLM\\HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "~MHz"));
  EXPECT_EQ(PowerConfigUtil::getCpuMhz(), -1);
}

TEST_F(PowerConfig, CountersWorkOnALocalisedSystemAndQueriesAreNeverLeaked) {
  PowerConfigUtil util;
  EXPECT_FALSE(util.collectPdhData());
  EXPECT_EQ(util.getProcessorTime(), 0.0);
  EXPECT_FALSE(util.isPerformanceLimited());
  EXPECT_EQ(util.closePdhQuery(), 0);

  emu::power::update([](emu::power::Machine &m, bool &changed) -> DWORD {
    m.displayLanguage = "de-DE"; // English counter paths no longer resolve by their displayed names
    changed = true;
    return 0;
  });
  const std::string dir = testenv::tempDir() + "/cpu-limited";
  fakehost::write(dir, {100, 300, 2000, 2000, 3000}, 2000);
  const size_t before = emu::power::openPdhQueries();
  util.initPdhConfig();
  util.initPdhConfig();
  EXPECT_EQ(emu::power::openPdhQueries(), before + 1);
  fakehost::write(dir, {200, 400, 2000, 2000, 3000}, 2000);
  ASSERT_TRUE(util.collectPdhData());
  EXPECT_DOUBLE_EQ(util.getProcessorTime(), 50.0);
  EXPECT_DOUBLE_EQ(util.getProcessorPerformance(), 100.0);
  EXPECT_TRUE(util.isPerformanceLimited());
  EXPECT_EQ(util.getFourthCounterValue(), 0.0);
  EXPECT_TRUE(logcapture::messagesSinceMark().empty()); // every add succeeded

  EXPECT_EQ(util.closePdhQuery(), 0);
  EXPECT_EQ(emu::power::openPdhQueries(), before);
  EXPECT_EQ(util.getProcessorTime(), 0.0);
  EXPECT_FALSE(util.isPerformanceLimited());
  EXPECT_FALSE(util.collectPdhData());
  EXPECT_EQ(util.closePdhQuery(), 0);

  emu::injectFailure("PdhAddEnglishCounterW", PDH_CSTATUS_NO_COUNTER, 1);
  util.initPdhConfig();
  EXPECT_TRUE(logged("E initPdhConfig PdhAddCounter failed: 0xc0000bb9"));
  ASSERT_TRUE(util.collectPdhData());
  EXPECT_FALSE(util.isPerformanceLimited()); // its counter was not added; the others were
  EXPECT_DOUBLE_EQ(util.getProcessorTime(), 0.0);
}

TEST_F(PowerConfig, TheInstanceBelongsToItsFirstParentAndIsGoneWithIt) {
  auto first = std::make_unique<QObject>();
  QObject second;
  EXPECT_EQ(PowerConfigUtil::instance(), nullptr);
  PowerConfigUtil::createInstance(first.get());
  PowerConfigUtil *made = PowerConfigUtil::instance();
  ASSERT_NE(made, nullptr);
  PowerConfigUtil::createInstance(&second);
  EXPECT_EQ(PowerConfigUtil::instance(), made);
  EXPECT_EQ(made->parent(), first.get());
  first.reset();
  EXPECT_EQ(PowerConfigUtil::instance(), nullptr);
  ThreadUtil t(&second);
  EXPECT_EQ(t.parent(), &second);
}

} // namespace
