// Events, mutexes and the wait engine: in one process, between threads, and between processes of one session.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "emu/account.h"
#include "emu/emu.h"
#include "emu/session.h"
#include "../process/child.h"
#include "testenv.h"

namespace {

struct Handles {
  std::vector<HANDLE> h;
  ~Handles() {
    for (HANDLE x : h) CloseHandle(x);
  }
  HANDLE add(HANDLE x) {
    EXPECT_NE(x, nullptr);
    h.push_back(x);
    return x;
  }
};

HANDLE autoEvent(Handles &hs, bool set = false) { return hs.add(CreateEventW(nullptr, FALSE, set, nullptr)); }
HANDLE manualEvent(Handles &hs, bool set = false) { return hs.add(CreateEventW(nullptr, TRUE, set, nullptr)); }

using kt::awaitFile;
using kt::Child;
using kt::wide;

TEST(Events, AutoResetIsConsumedByOneWaitManualResetStaysUntilReset) {
  Handles hs;
  HANDLE a = autoEvent(hs, true), m = manualEvent(hs, true);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(SetEvent(reinterpret_cast<HANDLE>(0x7777)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Events, SetFromAnotherThreadWakesAnInfiniteWait) {
  Handles hs;
  HANDLE e = autoEvent(hs);
  std::thread setter([e] {
    usleep(20000);
    SetEvent(e);
  });
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
  setter.join();
}

TEST(WaitAny, LowestSignalledIndexWinsAndOnlyItIsConsumed) {
  Handles hs;
  HANDLE e[4] = {autoEvent(hs), autoEvent(hs, true), autoEvent(hs), autoEvent(hs, true)};
  EXPECT_EQ(WaitForMultipleObjects(4, e, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(4, e, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, e, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // The same object twice is allowed when waiting for any.
  SetEvent(e[2]);
  HANDLE twice[2] = {e[2], e[2]};
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
}

TEST(WaitAll, TakesEveryObjectOrNone) {
  Handles hs;
  HANDLE e[3] = {autoEvent(hs, true), manualEvent(hs, true), autoEvent(hs)};
  EXPECT_EQ(WaitForMultipleObjects(3, e, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // Nothing was consumed by the failed attempt.
  EXPECT_EQ(WaitForMultipleObjects(2, e, TRUE, 0), WAIT_OBJECT_0);
  SetEvent(e[0]);
  SetEvent(e[2]);
  EXPECT_EQ(WaitForMultipleObjects(3, e, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e[0], 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(e[1], 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e[2], 0), static_cast<DWORD>(WAIT_TIMEOUT));

  HANDLE dup[2] = {e[1], e[1]};
  EXPECT_EQ(WaitForMultipleObjects(2, dup, TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WaitAll, AnAbandonedMutexIsReportedByItsIndexWithEverythingTaken) {
  Handles hs;
  HANDLE e = manualEvent(hs, true);
  HANDLE free = hs.add(CreateMutexW(nullptr, FALSE, nullptr));
  HANDLE left = hs.add(CreateMutexW(nullptr, FALSE, nullptr));
  std::thread([left] { EXPECT_EQ(WaitForSingleObject(left, 0), WAIT_OBJECT_0); }).join(); // ends owning it
  HANDLE all[3] = {e, free, left};
  EXPECT_EQ(WaitForMultipleObjects(3, all, TRUE, INFINITE), WAIT_ABANDONED_0 + 2);
  EXPECT_TRUE(ReleaseMutex(free));
  EXPECT_TRUE(ReleaseMutex(left));
  EXPECT_EQ(WaitForMultipleObjects(3, all, TRUE, 0), WAIT_OBJECT_0); // abandonment is reported once
}

TEST(WaitLimits, SixtyFourHandlesAreTheMostAndBadArgumentsFail) {
  Handles hs;
  std::vector<HANDLE> m;
  for (int i = 0; i < 65; ++i) m.push_back(hs.add(CreateMutexW(nullptr, FALSE, nullptr)));
  EXPECT_EQ(WaitForMultipleObjects(64, m.data(), TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(65, m.data(), TRUE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(WaitForMultipleObjects(65, m.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForMultipleObjects(0, m.data(), FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  for (int i = 0; i < 64; ++i) EXPECT_TRUE(ReleaseMutex(m[i]));
  HANDLE withBad[2] = {m[0], reinterpret_cast<HANDLE>(0x5555)};
  EXPECT_EQ(WaitForMultipleObjects(2, withBad, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(WaitTimeouts, LongWaitsEndQuicklyUnderATimeScale) {
  Handles hs;
  HANDLE e[2] = {autoEvent(hs), manualEvent(hs)};
  emu::setTimeScale(0.0001); // 20000 ms become 2 ms; the test's time limit catches an unscaled wait
  EXPECT_EQ(WaitForSingleObject(e[0], 20000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForMultipleObjects(2, e, FALSE, 3000000), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForMultipleObjects(2, e, TRUE, 3000000), static_cast<DWORD>(WAIT_TIMEOUT));
  emu::setTimeScale(1);
  EXPECT_EQ(emu::scaledMs(INFINITE), INFINITE);
}

TEST(Mutexes, RecursiveOwnershipReleaseByOwnerOnlyAndAbandonment) {
  Handles hs;
  HANDLE m = hs.add(CreateMutexW(nullptr, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); // second level
  std::thread([m] {
    EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
  }).join();
  EXPECT_TRUE(ReleaseMutex(m));
  std::thread([m] { EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT)); }).join();
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));

  // A waiter blocked on a mutex whose owner thread ends gets it as abandoned.
  std::atomic<bool> owned{false};
  std::thread owner([&] {
    WaitForSingleObject(m, INFINITE);
    owned = true;
    usleep(20000);
  });
  while (!owned) usleep(1000);
  EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_ABANDONED);
  owner.join();
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(m));
}

TEST(NamedMutexes, OneObjectPerNameWhileAHandleIsOpen) {
  const char16_t *name = u"LockedFile mutex c:/users/a/soleinstance-x-lockfile";
  HANDLE missing = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  EXPECT_EQ(missing, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HANDLE a = CreateMutexW(nullptr, FALSE, name);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE b = CreateMutexW(nullptr, TRUE, name); // exists: the initial ownership is not granted
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  HANDLE c = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  // One object behind the three handles: the owner thread takes it again through another, others cannot.
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0);
  std::thread([b] { EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT)); }).join();
  EXPECT_TRUE(ReleaseMutex(b));
  EXPECT_TRUE(ReleaseMutex(a));
  std::thread([b] {
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(b));
  }).join();
  HANDLE other = CreateMutexW(nullptr, FALSE, u"LockedFile mutex C:/users/a/soleinstance-x-lockfile");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)); // names are case-sensitive
  CloseHandle(other);
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(c);
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(NamedMutexes, SharedWithAnotherProcessAndAbandonedWhenItsOwnerIsKilled) {
  const std::string ready = testenv::tempDir() + "/held";
  Child holder(u"hold-mutex \"bv sync test\" " + wide(ready));
  ASSERT_TRUE(holder.started);
  EXPECT_EQ(awaitFile(ready), "0\n");
  HANDLE m = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, u"bv sync test");
  ASSERT_NE(m, nullptr);
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE both[2] = {e, m};
  EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ASSERT_TRUE(TerminateProcess(holder.pi.hProcess, 1));
  SetEvent(e);
  EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_ABANDONED_0 + 1);
  // Owned by this thread now: a second process waits until it is released, and then takes it cleanly.
  const std::string result = testenv::tempDir() + "/locked";
  Child waiter(u"lock-mutex \"bv sync test\" " + wide(result));
  ASSERT_TRUE(waiter.started);
  EXPECT_EQ(WaitForSingleObject(waiter.pi.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(waiter.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(testenv::readFile(result), "0\n");
  CloseHandle(e);
  CloseHandle(m);
}

TEST(NamedMutexes, NamesBelongToTheSessionUnlessGlobal) {
  HANDLE own = CreateMutexW(nullptr, TRUE, u"per session");
  HANDLE global = CreateMutexW(nullptr, TRUE, u"Global\\machine wide");
  ASSERT_TRUE(own && global);
  HANDLE token = nullptr, session2 = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &token));
  ASSERT_TRUE(DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &session2));
  DWORD two = emu::currentSessionId() + 1;
  emu::setOwnAccount(emu::localSystemAccount()); // SeTcbPrivilege, to move the token
  ASSERT_TRUE(SetTokenInformation(session2, TokenSessionId, &two, sizeof(two)));

  const std::string free = testenv::tempDir() + "/other-session";
  Child other(u"lock-mutex \"per session\" " + wide(free), 0, nullptr, session2);
  ASSERT_TRUE(other.started);
  EXPECT_EQ(awaitFile(free), "0\n"); // its own object of that name

  const std::string blocked = testenv::tempDir() + "/global";
  Child globalWaiter(u"lock-mutex \"Global\\machine wide\" " + wide(blocked), 0, nullptr, session2);
  ASSERT_TRUE(globalWaiter.started);
  EXPECT_EQ(WaitForSingleObject(globalWaiter.pi.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(global));
  EXPECT_EQ(WaitForSingleObject(globalWaiter.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(testenv::readFile(blocked), "0\n");
  for (HANDLE h : {own, global, token, session2}) CloseHandle(h);
}

TEST(NamedEvents, SharedWithAnotherProcessOfTheSessionAndTakenOncePerSignal) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, u"bv shared event");
  ASSERT_NE(e, nullptr);
  const std::string result = testenv::tempDir() + "/event-waiter";
  Child waiter(u"wait-event \"bv shared event\" " + wide(result));
  ASSERT_TRUE(waiter.started);
  EXPECT_EQ(WaitForSingleObject(waiter.pi.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(waiter.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(testenv::readFile(result), "0 183\n"); // it opened this process's event and took its signal
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  HANDLE opened = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, u"bv shared event");
  ASSERT_NE(opened, nullptr);
  CloseHandle(opened);
  CloseHandle(e);
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"bv shared event"), nullptr); // gone with its last handle
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(ObjectNames, MutexesAndEventsShareOneNamespace) {
  // The session's name and the machine's are two names.
  HANDLE m = CreateMutexW(nullptr, FALSE, u"bv one namespace");
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, u"Global\\bv one namespace");
  ASSERT_TRUE(m && e);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"bv one namespace"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"bv one namespace"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\bv one namespace"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"Global\\bv one namespace"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // Another process of the session is refused the same name (its child mode ends with 5 when it cannot create it).
  Child refused(u"wait-event \"bv one namespace\" " + wide(testenv::tempDir() + "/refused"));
  ASSERT_TRUE(refused.started);
  ASSERT_EQ(WaitForSingleObject(refused.pi.hProcess, 30000), WAIT_OBJECT_0) << "it made the event and waits on it";
  EXPECT_EQ(refused.waitExit(), 5u);
  // The name is free for the other kind once the last handle has closed.
  CloseHandle(m);
  HANDLE now = CreateEventW(nullptr, TRUE, FALSE, u"bv one namespace");
  EXPECT_NE(now, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(now);
  CloseHandle(e);
}

TEST(ObjectNames, LongerThanMaxPathAreRefused) {
  const std::u16string longest(MAX_PATH, u'n'), tooLong(MAX_PATH + 1, u'n');
  for (bool event : {true, false}) {
    auto create = [event](const std::u16string &name) {
      return event ? CreateEventW(nullptr, TRUE, FALSE, name.c_str()) : CreateMutexW(nullptr, FALSE, name.c_str());
    };
    HANDLE ok = create(longest);
    EXPECT_NE(ok, nullptr);
    CloseHandle(ok);
    EXPECT_EQ(create(tooLong), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << (event ? "event" : "mutex");
  }
}

} // namespace
