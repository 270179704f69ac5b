#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>
#include <winsvc.h>

#include <chrono>
#include <thread>
#include <vector>

#include "emu/account.h"
#include "emu/emu.h"
#include "emu/scm.h"

namespace {

std::string sidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "<error>";
  std::string out = emu::toUtf8(text);
  LocalFree(text);
  return out;
}

// The user SID of a token, read with the size protocol.
std::string tokenUser(HANDLE token) {
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return "<no size>";
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size - 1, &size)) { // one byte short still fails
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "<short>";
  }
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return "<error>";
  return sidText(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid);
}

bool adminMember(HANDLE token) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID admins = nullptr;
  EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                       &admins));
  BOOL member = 2;
  EXPECT_TRUE(CheckTokenMembership(token, admins, &member));
  FreeSid(admins);
  return member == TRUE;
}

emu::Account account(const char *sid, bool elevated) {
  emu::Account a;
  a.userSid = sid;
  a.elevated = elevated;
  return a;
}

struct Child {
  PROCESS_INFORMATION pi{};
  Child() {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    std::u16string line = u"/bin/sleep 60";
    EXPECT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  }
  ~Child() {
    TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
};

// The error of OpenProcess with this access; 0 when it opens.
DWORD openError(DWORD pid, DWORD access) {
  HANDLE h = OpenProcess(access, FALSE, pid);
  if (!h) return GetLastError();
  CloseHandle(h);
  return 0;
}

class Security : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(emu::setAccount(GetCurrentProcessId(), emu::Account())); }
  void TearDown() override { emu::setAccount(GetCurrentProcessId(), emu::Account()); }
};

TEST_F(Security, TokensTellTheUserAndAdministratorsCountOnlyWhenElevated) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token));
  EXPECT_EQ(tokenUser(token), emu::kDefaultUserSid);
  EXPECT_FALSE(adminMember(nullptr)) << "an administrator's filtered token";
  BOOL member = FALSE;
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID system = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system));
  EXPECT_EQ(sidText(system), "S-1-5-18");
  EXPECT_FALSE(CheckTokenMembership(token, system, &member)) << "a primary token";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_IMPERSONATION_TOKEN));
  FreeSid(system);

  ASSERT_TRUE(emu::setAccount(GetCurrentProcessId(), account(emu::kDefaultUserSid, true)));
  EXPECT_TRUE(adminMember(nullptr));
  HANDLE elevated = nullptr, impersonation = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &elevated));
  ASSERT_TRUE(DuplicateTokenEx(elevated, TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation,
                               &impersonation));
  EXPECT_TRUE(adminMember(impersonation));
  TOKEN_ELEVATION e{};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(elevated, TokenElevation, &e, sizeof(e), &size));
  EXPECT_EQ(e.TokenIsElevated, 1u);
  ASSERT_TRUE(GetTokenInformation(token, TokenElevation, &e, sizeof(e), &size));
  EXPECT_EQ(e.TokenIsElevated, 0u) << "a token keeps the account it was opened with";
  for (HANDLE h : {token, elevated, impersonation}) CloseHandle(h);
}

TEST_F(Security, ChildrenInheritTheAccountAndOpeningFollowsDefaultProcessSecurity) {
  const DWORD limited = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
  Child own;
  emu::Account a;
  ASSERT_TRUE(emu::accountOf(own.pi.dwProcessId, &a));
  EXPECT_EQ(a.userSid, emu::kDefaultUserSid);
  EXPECT_FALSE(a.elevated);
  EXPECT_EQ(openError(own.pi.dwProcessId, PROCESS_ALL_ACCESS), 0u);

  ASSERT_TRUE(emu::setAccount(own.pi.dwProcessId, account(emu::kDefaultUserSid, true)));
  EXPECT_EQ(openError(own.pi.dwProcessId, limited), 0u);
  EXPECT_EQ(openError(own.pi.dwProcessId, PROCESS_TERMINATE), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ASSERT_TRUE(emu::setAccount(own.pi.dwProcessId, account("S-1-5-21-1-2-3-1002", false)));
  EXPECT_EQ(openError(own.pi.dwProcessId, PROCESS_QUERY_LIMITED_INFORMATION), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  ASSERT_TRUE(emu::setAccount(GetCurrentProcessId(), emu::localSystemAccount()));
  EXPECT_EQ(openError(own.pi.dwProcessId, PROCESS_ALL_ACCESS), 0u);
  Child systems;
  ASSERT_TRUE(emu::accountOf(systems.pi.dwProcessId, &a));
  EXPECT_EQ(a.userSid, emu::kLocalSystemSid) << "inherited from its creator";
  EXPECT_TRUE(a.elevated);
}

// What reaches the program and its elevation: tests/BrimvaultQtCommon/Util/program/.
TEST_F(Security, ShellChecksTheRecordSizeAndHandsOverTheProcessWhenAsked) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info) - 8;
  info.lpFile = u"/bin/sleep";
  info.lpParameters = u"60";
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  ASSERT_TRUE(ShellExecuteExW(&info));
  ASSERT_NE(info.hProcess, nullptr);
  EXPECT_TRUE(TerminateProcess(info.hProcess, 0));
  CloseHandle(info.hProcess);
}

TEST_F(Security, CmdRefusesWhatItDoesNotCarryOut) {
  for (const char16_t *line : {u"cmd.exe /c dir", u"cmd.exe /c timeout /t x /nobreak & \"C:\\a.exe\"",
                               u"cmd.exe /c timeout /t 1 /nobreak & \"C:\\%TEMP%\\a.exe\""}) {
    std::u16string command = line;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 1u) << emu::toUtf8(line);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
}

TEST_F(Security, AServiceRunsAsLocalSystem) {
  emu::scm::ServiceConfig c;
  c.name = "AsSystem";
  c.binaryPath = std::string("\"") + TEST_SERVICE + "\"";
  ASSERT_EQ(emu::scm::createService(c), 0u);
  ASSERT_EQ(emu::scm::startService("AsSystem", {}), 0u);
  ASSERT_TRUE(emu::scm::waitForState("AsSystem", SERVICE_RUNNING, 20000));
  const DWORD pid = emu::scm::queryService("AsSystem").processId;
  emu::Account a;
  ASSERT_TRUE(emu::accountOf(pid, &a));
  EXPECT_EQ(a.userSid, emu::kLocalSystemSid);
  EXPECT_TRUE(a.adminRights());
  EXPECT_EQ(openError(pid, PROCESS_TERMINATE), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "another user's process";
  EXPECT_EQ(emu::scm::sendControl("AsSystem", SERVICE_CONTROL_STOP).error, 0u);
  EXPECT_TRUE(emu::scm::waitForState("AsSystem", SERVICE_STOPPED, 20000));
}

} // namespace
