// Processes of the stand-in: exit codes, termination, command lines, sessions through tokens, attribute lists and
// jobs, snapshots and the run-time look-up of kernel32.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <QLibrary>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <csignal>
#include <sstream>
#include <sys/stat.h>
#include <thread>

#include "child.h"
#include "emu/account.h"
#include "emu/emu.h"
#include "emu/hold.h"
#include "emu/process.h"
#include "emu/scm.h"
#include "emu/session.h"

namespace {

using kt::Child;
using kt::wide;

std::string reportOf(Child &child, const std::string &file) {
  EXPECT_TRUE(child.started) << child.error;
  EXPECT_EQ(child.waitExit(), 0u);
  return testenv::readFile(file);
}

// Start-up information that puts a new process into `job` before it runs (the job list attribute).
struct InJob {
  HANDLE job;
  std::vector<char> storage;
  STARTUPINFOEXW si{};
  explicit InJob(HANDLE j) : job(j) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage.resize(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    EXPECT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));
    EXPECT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof(HANDLE), nullptr, nullptr));
    si.StartupInfo.cb = sizeof(si);
    si.lpAttributeList = list;
  }
  InJob(const InJob &) = delete;
  InJob &operator=(const InJob &) = delete;
  ~InJob() { DeleteProcThreadAttributeList(si.lpAttributeList); }
  LPSTARTUPINFOW startup() { return &si.StartupInfo; }
};

TEST(ExitCodes, FullThirtyTwoBitCodesReachTheParent) {
  for (DWORD code : {1115u, 191u, 1067u, 0x40010004u, 0u, 0xFFFFFFFFu}) {
    Child viaMain(u"exit " + wide(std::to_string(code)));
    ASSERT_TRUE(viaMain.started);
    EXPECT_EQ(viaMain.waitExit(), code) << "return from main";
    Child viaExitProcess(u"exitprocess " + wide(std::to_string(code)));
    EXPECT_EQ(viaExitProcess.waitExit(), code) << "ExitProcess";
  }
}

TEST(ExitCodes, StillActiveWhileRunningAndTerminateGivesItsCode) {
  Child child(u"sleep 600000");
  ASSERT_TRUE(child.started);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child.pi.hThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Another handle, opened by id, sees the same process end with the code TerminateProcess gave.
  HANDLE byId = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, child.pi.dwProcessId);
  ASSERT_NE(byId, nullptr);
  HANDLE terminateOnly = OpenProcess(PROCESS_TERMINATE, FALSE, child.pi.dwProcessId);
  ASSERT_NE(terminateOnly, nullptr);
  EXPECT_FALSE(GetExitCodeProcess(terminateOnly, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForSingleObject(terminateOnly, 0), WAIT_FAILED);

  ASSERT_TRUE(TerminateProcess(terminateOnly, 1067));
  EXPECT_EQ(child.waitExit(), 1067u);
  EXPECT_EQ(WaitForSingleObject(byId, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(byId, &code));
  EXPECT_EQ(code, 1067u);
  EXPECT_EQ(WaitForSingleObject(child.pi.hThread, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(TerminateProcess(child.pi.hProcess, 5)); // it has ended already
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD recorded = 0;
  EXPECT_TRUE(emu::recordedExitCode(child.pi.dwProcessId, &recorded));
  EXPECT_EQ(recorded, 1067u);
  CloseHandle(byId);
  CloseHandle(terminateOnly);

  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 1), nullptr); // alive, but not a process of this machine
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(CommandLines, ArgumentsFollowTheWindowsRules) {
  const std::string report = testenv::tempDir() + "/args";
  Child child(u"report " + wide(report) + uR"( "a b" c\\d "e\"f" g\\\"h "i""j" "k\\" "")");
  std::string text = reportOf(child, report);
  std::istringstream in(text);
  std::vector<std::string> args;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("arg=", 0) == 0) args.push_back(line.substr(4));
  }
  std::vector<std::string> expected{KERNEL_CHILD, "report", report, "a b", R"(c\\d)", R"(e"f)", R"(g\"h)",
                                    R"(i"j)", R"(k\)", ""};
  EXPECT_EQ(args, expected);
}

TEST(CommandLines, ProgramsAreFoundUnderTheMappedDrivesAndTheSearchRules) {
  const std::string apps = testenv::root() + "/drive_c/Program Files/Kernel Test";
  ASSERT_EQ(std::system(("mkdir -p '" + apps + "' && cp " KERNEL_CHILD " '" + apps + "/kt.exe'").c_str()), 0);
  const std::string report = testenv::tempDir() + "/found";

  // Quoted Windows path; and the same unquoted, blanks and all, with ".exe" assumed.
  Child quoted;
  quoted.start(uR"("C:\Program Files\Kernel Test\kt.exe" report )" + wide(report));
  EXPECT_NE(reportOf(quoted, report).find("arg=report"), std::string::npos);
  Child unquoted;
  unquoted.start(uR"(C:\Program Files\Kernel Test\kt report )" + wide(report));
  EXPECT_NE(reportOf(unquoted, report).find("arg=" + report), std::string::npos);

  // A bare name is searched for in the system folder.
  const std::string system32 = testenv::root() + "/drive_c/Windows/System32";
  ASSERT_EQ(std::system(("mkdir -p '" + system32 + "' && cp " KERNEL_CHILD " '" + system32 + "/ktsys.exe'").c_str()), 0);
  Child bare;
  bare.start(u"ktsys report " + wide(report));
  EXPECT_NE(reportOf(bare, report).find("arg=ktsys"), std::string::npos);

  // The application name is taken as it is, the command line gives the arguments; and a working folder.
  Child withApp;
  withApp.start(u"whatever report " + wide(report), 0, nullptr, nullptr, uR"(C:\Program Files\Kernel Test\kt.exe)",
                nullptr, uR"(C:\Program Files)");
  std::string text = reportOf(withApp, report);
  EXPECT_NE(text.find("arg=whatever"), std::string::npos);
  EXPECT_NE(text.find("cwd=" + testenv::root() + "/drive_c/Program Files\n"), std::string::npos);

  Child missing;
  missing.start(uR"("C:\Program Files\Kernel Test\absent.exe")");
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  Child badFolder;
  badFolder.start(uR"("C:\Program Files\Kernel Test\kt.exe" sleep 1)", 0, nullptr, nullptr, nullptr, nullptr,
                  uR"(C:\no such folder)");
  EXPECT_FALSE(badFolder.started);
  EXPECT_EQ(badFolder.error, static_cast<DWORD>(ERROR_DIRECTORY));
  Child notAProgram;
  notAProgram.start(u"\"" + wide(testenv::root()) + u"\"");
  EXPECT_FALSE(notAProgram.started);
  EXPECT_EQ(notAProgram.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Sessions, TokensCarryTheSessionIntoNewProcesses) {
  HANDLE own = nullptr, primary = nullptr, impersonation = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &own));
  DWORD session = 99, size = 0;
  EXPECT_FALSE(GetTokenInformation(own, TokenSessionId, &session, sizeof(session), &size)); // no TOKEN_QUERY
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary));
  ASSERT_TRUE(GetTokenInformation(primary, TokenSessionId, &session, sizeof(session), &size));
  EXPECT_EQ(session, emu::currentSessionId());
  EXPECT_EQ(size, sizeof(DWORD));
  DWORD three = 3;
  EXPECT_FALSE(SetTokenInformation(primary, TokenSessionId, &three, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  // Moving a token to a session takes SeTcbPrivilege: LocalSystem's, not an administrator's.
  EXPECT_FALSE(SetTokenInformation(primary, TokenSessionId, &three, sizeof(three)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  emu::setOwnAccount(emu::localSystemAccount());
  ASSERT_TRUE(SetTokenInformation(primary, TokenSessionId, &three, sizeof(three)));
  ASSERT_TRUE(GetTokenInformation(primary, TokenSessionId, &session, sizeof(session), &size));
  EXPECT_EQ(session, 3u);

  const std::string report = testenv::tempDir() + "/session";
  Child inSession3(u"sleep 600000", 0, nullptr, primary);
  ASSERT_TRUE(inSession3.started) << inSession3.error;
  DWORD seen = 0;
  ASSERT_TRUE(ProcessIdToSessionId(inSession3.pi.dwProcessId, &seen));
  EXPECT_EQ(seen, 3u);
  HANDLE childToken = nullptr;
  ASSERT_TRUE(OpenProcessToken(inSession3.pi.hProcess, TOKEN_QUERY, &childToken));
  ASSERT_TRUE(GetTokenInformation(childToken, TokenSessionId, &session, sizeof(session), &size));
  EXPECT_EQ(session, 3u);
  Child reporter(u"report " + wide(report), 0, nullptr, primary);
  EXPECT_NE(reportOf(reporter, report).find("session=3\n"), std::string::npos);

  // Without a token the new process inherits the creator's session.
  emu::setCurrentSessionId(0);
  Child inherited(u"report " + wide(report));
  EXPECT_NE(reportOf(inherited, report).find("session=0\n"), std::string::npos);
  emu::setCurrentSessionId(1);

  ASSERT_TRUE(DuplicateTokenEx(own, 0, nullptr, SecurityImpersonation, TokenImpersonation, &impersonation));
  Child refused(u"sleep 1", 0, nullptr, impersonation);
  EXPECT_FALSE(refused.started);
  EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_BAD_TOKEN_TYPE));
  for (HANDLE h : {own, primary, impersonation, childToken}) CloseHandle(h);

  EXPECT_FALSE(ProcessIdToSessionId(GetCurrentProcessId(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Sessions, TheConsoleSessionIsMachineState) {
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  emu::setActiveConsoleSession(emu::kNoSession);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  emu::setActiveConsoleSession(2);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 2u);
  emu::injectFailure("WTSGetActiveConsoleSessionId", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  emu::clearFailures();
  // A switch is not atomic: the console has no session between the old one's detach and the new one's attach.
  DWORD inGap = 0;
  emu::scm::switchConsoleSession(3, [&] { inGap = WTSGetActiveConsoleSessionId(); });
  EXPECT_EQ(inGap, 0xFFFFFFFFu);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 3u);
}

TEST(KernelLibrary, RunTimeLookUpOfProcessIdToSessionIdReachesThisProcess) {
  QLibrary kernel32(QStringLiteral("kernel32"));
  auto lookUp = reinterpret_cast<BOOL(WINAPI *)(DWORD, DWORD *)>(kernel32.resolve("ProcessIdToSessionId"));
  ASSERT_NE(lookUp, nullptr) << kernel32.errorString().toStdString();
  emu::setCurrentSessionId(5);
  DWORD session = 0;
  EXPECT_TRUE(lookUp(GetCurrentProcessId(), &session));
  EXPECT_EQ(session, 5u);
  emu::injectFailure("ProcessIdToSessionId", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(lookUp(GetCurrentProcessId(), &session));
  emu::clearFailures();
  emu::setCurrentSessionId(1);
}

// The service's launch: a job through the attribute list, re-read at every creation through the stored pointer.
TEST(Jobs, JobListAttributeIsReadThroughItsPointerAndKillOnCloseEndsGrandchildren) {
  SIZE_T size = 0;
  EXPECT_FALSE(InitializeProcThreadAttributeList(nullptr, 1, 0, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(HeapAlloc(GetProcessHeap(), 0, size));
  ASSERT_TRUE(InitializeProcThreadAttributeList(list, 1, 0, &size));

  auto killOnClose = [] {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    EXPECT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info)));
    return job;
  };
  HANDLE jobVar = killOnClose();
  HANDLE firstJob = jobVar;
  ASSERT_TRUE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &jobVar, sizeof(HANDLE), nullptr,
                                        nullptr));
  HANDLE other = nullptr;
  EXPECT_FALSE(UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &other, sizeof(HANDLE), nullptr,
                                         nullptr)); // the first registration stays
  jobVar = killOnClose(); // a new cycle's job, through the same variable
  HANDLE secondJob = jobVar;

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof(si);
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.lpAttributeList = list;
  const std::string pidFile = testenv::tempDir() + "/grandchild";
  Child child(u"spawn " + wide(pidFile), CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT,
              &si.StartupInfo);
  ASSERT_TRUE(child.started) << child.error;
  const DWORD grandchildPid = static_cast<DWORD>(std::stoul(kt::awaitFile(pidFile)));
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, grandchildPid);
  ASSERT_NE(grandchild, nullptr);

  char buffer[64];
  auto *ids = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(buffer);
  ASSERT_TRUE(QueryInformationJobObject(secondJob, JobObjectBasicProcessIdList, ids, sizeof(buffer), nullptr));
  ASSERT_EQ(ids->NumberOfProcessIdsInList, 2u); // what a member creates is a member
  EXPECT_EQ(ids->ProcessIdList[0], child.pi.dwProcessId);
  EXPECT_EQ(ids->ProcessIdList[1], grandchildPid);

  CloseHandle(firstJob); // not the child's job
  EXPECT_EQ(WaitForSingleObject(child.pi.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(secondJob);
  EXPECT_EQ(WaitForSingleObject(child.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(grandchild, INFINITE), WAIT_OBJECT_0);
  CloseHandle(grandchild);

  // A job handle that is no longer valid makes the creation fail.
  Child refused(u"sleep 1", EXTENDED_STARTUPINFO_PRESENT, &si.StartupInfo);
  EXPECT_FALSE(refused.started);
  EXPECT_EQ(refused.error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  DeleteProcThreadAttributeList(list);
  HeapFree(GetProcessHeap(), 0, list);
}

TEST(Jobs, WhatAnEndedMemberStartedEndsWithTheJobUnlessItBrokeAway) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info)));
  InJob inJob(job);

  auto orphan = [&](const char16_t *how, const std::string &file) {
    Child member(u"spawn " + wide(file) + u" " + how, CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, inJob.startup());
    EXPECT_EQ(member.waitExit(), 0u);
    return OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(kt::awaitFile(file))));
  };
  HANDLE left = orphan(u"exit", testenv::tempDir() + "/left");
  HANDLE brokeAway = orphan(u"breakaway", testenv::tempDir() + "/away");
  ASSERT_TRUE(left && brokeAway);
  // Without JOB_OBJECT_LIMIT_BREAKAWAY_OK a member cannot start a process outside the job.
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info)));
  // Even when its creator is slow to record it: the member runs only once the machine knows it is in the job.
  const std::string refusedFile = testenv::tempDir() + "/refused";
  const std::string creatorPoint = "CreateProcess:kernel_child:by:" + std::to_string(getpid());
  emu::setHoldPoints(creatorPoint);
  std::thread creatorHeld([&] {
    if (!emu::waitUntilHeld(creatorPoint, 30000)) return;
    // Time for a member that runs unrecorded to break away; one waiting to be recorded does nothing.
    for (int i = 0; i < 500 && access(refusedFile.c_str(), F_OK) != 0; ++i) usleep(2000);
    emu::releaseHold(creatorPoint);
  });
  Child refused(u"spawn " + wide(refusedFile) + u" breakaway", CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                inJob.startup());
  creatorHeld.join();
  emu::setHoldPoints("");
  EXPECT_EQ(refused.waitExit(), 4u) << "the breakaway creation went through";
  EXPECT_EQ(WaitForSingleObject(left, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(job);
  EXPECT_EQ(WaitForSingleObject(left, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(brokeAway, 100), static_cast<DWORD>(WAIT_TIMEOUT));
  HANDLE kill = OpenProcess(PROCESS_TERMINATE, FALSE, GetProcessId(brokeAway));
  EXPECT_TRUE(TerminateProcess(kill, 0));
  EXPECT_EQ(WaitForSingleObject(brokeAway, INFINITE), WAIT_OBJECT_0);
  for (HANDLE h : {left, brokeAway, kill}) CloseHandle(h);
}

// What a member creates is a member too, and stays one once its creator has ended, unless the job lets it leave;
// the process list, the accounting and the job's end all see the same members.
TEST(Jobs, WhatAMemberCreatesIsListedCountedAndEndedWithTheJob) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  InJob inJob(job);
  auto orphan = [&](const std::string &file) {
    Child member(u"spawn " + wide(file) + u" exit", EXTENDED_STARTUPINFO_PRESENT, inJob.startup());
    EXPECT_EQ(member.waitExit(), 0u);
    return static_cast<DWORD>(std::stoul(kt::awaitFile(file)));
  };
  const DWORD inside = orphan(testenv::tempDir() + "/inside");
  HANDLE insideHandle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, inside);
  // With JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK what members create is outside the job.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info)));
  const DWORD outside = orphan(testenv::tempDir() + "/outside");
  HANDLE outsideHandle = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, outside);
  ASSERT_TRUE(insideHandle && outsideHandle);

  char buffer[64];
  auto *ids = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(buffer);
  ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicProcessIdList, ids, sizeof(buffer), nullptr));
  ASSERT_EQ(ids->NumberOfProcessIdsInList, 1u);
  EXPECT_EQ(ids->ProcessIdList[0], inside);
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts{};
  ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts, sizeof(counts), nullptr));
  EXPECT_EQ(counts.TotalProcesses, 3u); // the two members and what the first created
  EXPECT_EQ(counts.ActiveProcesses, 1u);

  ASSERT_TRUE(TerminateJobObject(job, 1067));
  EXPECT_EQ(WaitForSingleObject(insideHandle, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(insideHandle, &code));
  EXPECT_EQ(code, 1067u);
  EXPECT_EQ(WaitForSingleObject(outsideHandle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // An ended member counts as active until its last handle closes (the accounting structure's page).
  ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts, sizeof(counts), nullptr));
  EXPECT_EQ(counts.ActiveProcesses, 1u) << "ended, a handle to it still open";
  CloseHandle(insideHandle);
  ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts, sizeof(counts), nullptr));
  EXPECT_EQ(counts.ActiveProcesses, 0u);
  TerminateProcess(outsideHandle, 0);
  for (HANDLE h : {outsideHandle, job}) CloseHandle(h);
}

// A process's entry has two writers: the process itself (its session, its console) and the owner of a job that
// assigns it (its jobs). A change of one that comes while the other's is under way is kept too.
TEST(Jobs, AMembersOwnChangeAndItsAssignmentToAJobAreBothKept) {
  ASSERT_TRUE(FreeConsole()); // recorded in the process table from now on
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK; // what this process starts later may leave
  ASSERT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info)));
  const std::string point = "ProcessEntry:" + std::to_string(getpid());
  emu::setHoldPoints(point + "@1");
  std::thread session([] { emu::setCurrentSessionId(2); });
  ASSERT_TRUE(emu::waitUntilHeld(point, 30000));
  std::atomic<bool> assigned{false};
  std::thread assign([&] {
    EXPECT_TRUE(AssignProcessToJobObject(job, GetCurrentProcess()));
    assigned = true;
  });
  // Time for an assignment that does not wait for the session change to overtake it.
  for (int i = 0; i < 250 && !assigned; ++i) usleep(2000);
  emu::releaseHold(point);
  session.join();
  assign.join();
  emu::setHoldPoints("");

  DWORD recordedSession = 0;
  for (const auto &p : emu::listProcesses())
    if (p.pid == GetCurrentProcessId()) recordedSession = p.sessionId;
  EXPECT_EQ(recordedSession, 2u);
  Child created(u"sleep 600000");
  char buffer[64];
  auto *ids = reinterpret_cast<JOBOBJECT_BASIC_PROCESS_ID_LIST *>(buffer);
  ASSERT_TRUE(QueryInformationJobObject(job, JobObjectBasicProcessIdList, ids, sizeof(buffer), nullptr));
  std::vector<ULONG_PTR> members(ids->ProcessIdList, ids->ProcessIdList + ids->NumberOfProcessIdsInList);
  EXPECT_NE(std::find(members.begin(), members.end(), created.pi.dwProcessId), members.end())
      << "the job was lost from this process's entry";
  emu::setCurrentSessionId(1);
  CloseHandle(job);
}

// The owner's handles close however it ends: a kill -9 ends the members of its kill-on-close job and what they started.
TEST(Jobs, KillOnCloseEndsTheMembersWhenTheOwnerIsKilled) {
  const std::string grandchildFile = testenv::tempDir() + "/owned-grandchild";
  const std::string memberFile = testenv::tempDir() + "/owned-member";
  Child owner(u"job-owner " + wide(grandchildFile) + u" " + wide(memberFile));
  ASSERT_TRUE(owner.started) << owner.error;
  HANDLE member = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(kt::awaitFile(memberFile))));
  HANDLE grandchild = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(kt::awaitFile(grandchildFile))));
  ASSERT_TRUE(member && grandchild);
  EXPECT_EQ(WaitForSingleObject(member, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_EQ(::kill(static_cast<pid_t>(owner.pi.dwProcessId), SIGKILL), 0);
  EXPECT_EQ(WaitForSingleObject(member, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(grandchild, 30000), WAIT_OBJECT_0);
  CloseHandle(member);
  CloseHandle(grandchild);
}

// A child's handle is signalled from the moment it ends: never is it already reaped and still reads as running.
TEST(ExitCodes, AnEndedChildIsNeverGoneAndUnsignalled) {
  const std::string go = testenv::tempDir() + "/end";
  Child child(u"exit-on " + wide(go) + u" 0");
  ASSERT_TRUE(child.started);
  // This child only: a child of an earlier test that ends late passes the point too.
  const std::string point = "ProcessEnd:kernel_child:" + std::to_string(child.pi.dwProcessId);
  emu::setHoldPoints(point);
  testenv::writeFile(go, "");
  ASSERT_TRUE(emu::waitUntilHeld(point, 30000)); // between the end's two steps, whichever comes first
  const bool gone = ::kill(static_cast<pid_t>(child.pi.dwProcessId), 0) != 0;
  const DWORD seen = WaitForSingleObject(child.pi.hProcess, 0);
  emu::releaseHold(point);
  emu::setHoldPoints("");
  EXPECT_EQ(seen, WAIT_OBJECT_0) << (gone ? "reaped but not signalled" : "ended but not signalled");
  EXPECT_EQ(child.waitExit(), 0u);
}

// A process that ends by itself while it is being terminated ends with one code, the one every handle and the
// machine's record give: the terminator's when its kill came first, else its own.
TEST(ExitCodes, ATerminationRacingTheProcesssOwnEndGivesOneCode) {
  const std::string go = testenv::tempDir() + "/go";
  Child child(u"exit-on " + wide(go) + u" 5");
  ASSERT_TRUE(child.started);
  const std::string point = "TerminateProcess:" + std::to_string(child.pi.dwProcessId);
  emu::setHoldPoints(point);
  BOOL terminated = FALSE;
  std::thread terminator([&] { terminated = TerminateProcess(child.pi.hProcess, 1067); });
  const bool held = emu::waitUntilHeld(point, 30000); // found running, its code not recorded yet
  testenv::writeFile(go, "");
  WaitForSingleObject(child.pi.hProcess, 1000); // time for the child's own end to come first
  emu::releaseHold(point);
  terminator.join();
  emu::setHoldPoints("");
  ASSERT_TRUE(held);
  const DWORD code = child.waitExit();
  DWORD recorded = 0;
  EXPECT_TRUE(emu::recordedExitCode(child.pi.dwProcessId, &recorded));
  EXPECT_EQ(code, recorded);
  EXPECT_EQ(code, terminated ? 1067u : 5u);
}

// The current-process pseudo-handle is not a handle that closing can take away.
TEST(Handles, ClosingTheCurrentProcessPseudoHandleDoesNothing) {
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
}

// A process object lives until its last handle closes, whichever process of the machine holds it: an ended process
// can be opened, and gives its exit code, until then.
TEST(Handles, AnEndedProcessCanBeOpenedWhileAnyProcessHoldsAHandleToIt) {
  Child target(u"exit 1115");
  ASSERT_TRUE(target.started);
  EXPECT_EQ(target.waitExit(), 1115u);
  const DWORD pid = target.pi.dwProcessId;
  DWORD code = 0;
  HANDLE again = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  ASSERT_NE(again, nullptr) << GetLastError();
  EXPECT_TRUE(GetExitCodeProcess(again, &code));
  EXPECT_EQ(code, 1115u);
  const std::string opened = testenv::tempDir() + "/opened";
  Child holder(u"open-hold " + wide(std::to_string(pid)) + u" " + wide(opened));
  EXPECT_EQ(kt::awaitFile(opened), "0\n");
  for (HANDLE h : {again, target.pi.hProcess, target.pi.hThread}) CloseHandle(h);
  target.started = false;

  HANDLE held = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid); // the holder's handle keeps it
  ASSERT_NE(held, nullptr) << GetLastError();
  EXPECT_TRUE(GetExitCodeProcess(held, &code));
  EXPECT_EQ(code, 1115u);
  CloseHandle(held);
  ASSERT_TRUE(TerminateProcess(holder.pi.hProcess, 0));
  holder.waitExit();
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, pid), nullptr) << "no handle is left";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Snapshots, ListTheLiveProcessesOfThisMachineByProgramName) {
  const std::string apps = testenv::root() + "/drive_c/Apps";
  ASSERT_EQ(std::system(("mkdir -p '" + apps + "' && cp " KERNEL_CHILD " '" + apps + "/Finder Tool.exe'").c_str()), 0);
  Child child;
  child.start(uR"("C:\Apps\Finder Tool.exe" sleep 600000)");
  ASSERT_TRUE(child.started) << child.error;
  // A process of another machine root is not listed.
  const std::string stranger = testenv::tempDir() + "/stranger.pid";
  ASSERT_EQ(std::system(("WIN32_ROOT=/nonexistent/other " KERNEL_CHILD " sleep 600000 & echo $! > " + stranger).c_str()), 0);
  const DWORD strangerPid = static_cast<DWORD>(std::stoul(kt::awaitFile(stranger)));

  auto find = [](const std::u16string &name, PROCESSENTRY32W *found) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snap, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W pe;
    pe.dwSize = 0;
    EXPECT_FALSE(Process32FirstW(snap, &pe));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
    pe.dwSize = sizeof(pe);
    int matches = 0;
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe)) {
      if (name == pe.szExeFile) {
        *found = pe;
        ++matches;
      }
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    CloseHandle(snap);
    return matches;
  };
  PROCESSENTRY32W pe{};
  ASSERT_EQ(find(u"Finder Tool.exe", &pe), 1);
  EXPECT_EQ(pe.th32ProcessID, child.pi.dwProcessId);
  EXPECT_EQ(pe.th32ParentProcessID, GetCurrentProcessId());
  EXPECT_EQ(find(u"finder tool.exe", &pe), 0);
  EXPECT_EQ(find(u"kernel_child", &pe), 0); // the stranger runs under that name

  bool selfListed = false;
  for (const auto &p : emu::listProcesses()) {
    EXPECT_NE(p.pid, strangerPid);
    selfListed = selfListed || p.pid == GetCurrentProcessId();
  }
  EXPECT_TRUE(selfListed);

  ASSERT_TRUE(TerminateProcess(child.pi.hProcess, 0));
  WaitForSingleObject(child.pi.hProcess, INFINITE);
  EXPECT_EQ(find(u"Finder Tool.exe", &pe), 0);
  kill(static_cast<pid_t>(strangerPid), SIGKILL);
}

// A process that ends while a snapshot looks at it is not listed: whether it runs is decided from one read.
TEST(Snapshots, AProcessReapedWhileItsEntryIsReadIsNotListed) {
  Child child(u"sleep 600000");
  ASSERT_TRUE(child.started);
  const pid_t pid = static_cast<pid_t>(child.pi.dwProcessId);
  const std::string end = "ProcessEnd:kernel_child:" + std::to_string(pid);
  const std::string listed = "ProcessListed:" + std::to_string(pid);
  emu::setHoldPoints(end + "," + listed);
  ASSERT_TRUE(TerminateProcess(child.pi.hProcess, 0));
  const bool ended = emu::waitUntilHeld(end, 30000); // ended, not yet reaped
  std::vector<emu::ProcessRecord> seen;
  std::thread snapshot([&] { seen = emu::listProcesses(); });
  const bool entryRead = emu::waitUntilHeld(listed, 30000);
  emu::releaseHold(end);
  for (int i = 0; i < 5000 && ::kill(pid, 0) == 0; ++i) usleep(2000); // reaped
  emu::releaseHold(listed);
  snapshot.join();
  emu::setHoldPoints("");
  ASSERT_TRUE(ended && entryRead);
  for (const auto &p : seen) EXPECT_NE(p.pid, child.pi.dwProcessId) << "an ended process is listed";
}

} // namespace

namespace {

// Run only from the test below: a member of a job that leaves a process behind, then a failure.
TEST(TestPrograms, DISABLED_LeaveAProcessBehindAndFail) {
  const std::string file = std::getenv("BV_STRAY_FILE");
  std::u16string line = u"\"" + kt::childExe() + u"\" spawn " + wide(file) + u" exit";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  kt::awaitFile(file);
  FAIL() << "as planned";
}

// A failed test program ends what its tests started before it ends itself, orphans included.
TEST(TestPrograms, NothingTheyStartOutlivesThem) {
  const std::string file = testenv::tempDir() + "/stray";
  const std::string command = "BV_STRAY_FILE='" + file + "' /proc/" + std::to_string(getpid()) +
                              "/exe --gtest_also_run_disabled_tests "
                              "--gtest_filter=TestPrograms.DISABLED_LeaveAProcessBehindAndFail >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const pid_t stray = static_cast<pid_t>(std::stoul(testenv::readFile(file)));
  EXPECT_EQ(::kill(stray, 0), -1) << "process " << stray << " outlived its test program";
}

} // namespace
