// Rights of the control manager's client calls under the default security: what an unelevated user may open.
#include <gtest/gtest.h>

#include <windows.h>
#include <winsvc.h>

#include <unistd.h>

#include "emu/account.h"
#include "emu/emu.h"
#include "emu/scm.h"

namespace {

void runAs(bool elevated) {
  emu::Account account;
  account.elevated = elevated;
  ASSERT_TRUE(emu::setAccount(static_cast<DWORD>(::getpid()), account));
}

TEST(ServiceClientRights, AUserQueriesButNeitherCreatesChangesStartsNorDeletes) {
  emu::scm::ServiceConfig c;
  c.name = "Guarded";
  c.binaryPath = "C:\\Tools\\guarded.exe";
  ASSERT_EQ(emu::scm::createService(c), 0u);

  runAs(false);
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, GENERIC_WRITE), nullptr);
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
  ASSERT_NE(scm, nullptr);
  for (DWORD right : {static_cast<DWORD>(SERVICE_START), static_cast<DWORD>(SERVICE_STOP),
                      static_cast<DWORD>(SERVICE_CHANGE_CONFIG), static_cast<DWORD>(DELETE),
                      static_cast<DWORD>(SERVICE_ALL_ACCESS)}) {
    SetLastError(0);
    EXPECT_EQ(OpenServiceW(scm, u"guarded", right), nullptr) << std::hex << right;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << right;
  }
  // What the user may have, MAXIMUM_ALLOWED gives: reading, but not starting.
  SC_HANDLE most = OpenServiceW(scm, u"GUARDED", MAXIMUM_ALLOWED);
  ASSERT_NE(most, nullptr);
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigW(most, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SERVICE_STATUS status{};
  EXPECT_TRUE(QueryServiceStatus(most, &status));
  EXPECT_FALSE(StartServiceW(most, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseServiceHandle(most));
  EXPECT_TRUE(CloseServiceHandle(scm));

  runAs(true);
  scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE all = OpenServiceW(scm, u"Guarded", SERVICE_ALL_ACCESS);
  ASSERT_NE(all, nullptr);
  EXPECT_TRUE(DeleteService(all));
  EXPECT_TRUE(CloseServiceHandle(all));
  EXPECT_TRUE(CloseServiceHandle(scm));
  EXPECT_FALSE(emu::scm::queryService("Guarded").exists);
}

} // namespace
