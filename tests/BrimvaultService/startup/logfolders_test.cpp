// The log folders belong to the service whatever a user did before it started: a link where a folder belongs goes as
// a link and what it points at stays untouched; a folder a user made is taken over and locked; users keep only read
// in bvs and create-and-write in bvu; a folder that cannot be made safe costs the file log, not the core.
#include "servicefixture.h"

#include <aclapi.h>
#include <sddl.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "emu/emu.h"
#include "emu/files.h"
#include "testenv.h"

namespace servicetest {
namespace {

namespace fs = std::filesystem;

const char kLocked[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
const char kUsersWrite[] = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)";

std::u16string w(const std::string &text) { return emu::toUtf16(text); }
const WCHAR *p(const std::u16string &text) { return reinterpret_cast<const WCHAR *>(text.c_str()); }

emu::Account userNamed(const std::string &sid) {
  emu::Account a = testenv::standardUser();
  a.userSid = sid;
  return a;
}

std::string rightsOf(const std::string &path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  LPWSTR text = nullptr;
  std::string out;
  if (GetNamedSecurityInfoW(p(w(path)), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, &sd) == ERROR_SUCCESS &&
      ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
    out = emu::toUtf8(text);
  LocalFree(text);
  LocalFree(sd);
  return out;
}

// Every file under a folder with its contents.
std::map<std::string, std::string> contentsOf(const std::string &folder) {
  std::map<std::string, std::string> out;
  for (const auto &e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) out[e.path().string()] = testenv::readFile(e.path().string());
  return out;
}

bool realFolder(const std::string &windowsPath) {
  struct stat st;
  return lstat(emu::hostPath(windowsPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class LinkedLogFolder : public ServiceTest, public ::testing::WithParamInterface<const char *> {};

// A user's link at bvs, or one level up at log, points at 20 files named like logs in the folder and 20 in its tmp.
TEST_P(LinkedLogFolder, GoesAsALinkAndWhatItPointsAtStaysUntouched) {
  const std::string link = std::string("C:\\Brimvault\\log") + GetParam();
  const std::string target = root + "/elsewhere";
  const std::string logs = target + (std::string(GetParam()).empty() ? "/bvs" : "");
  fs::create_directories(logs + "/tmp");
  for (int i = 1; i <= 20; ++i)
    for (const std::string &folder : {logs, logs + "/tmp"})
      testenv::writeFile(folder + "/bvs_" + std::to_string(i) + ".xlog", "a user's file " + std::to_string(i));
  const auto before = contentsOf(target);
  fs::create_directories(fs::path(emu::hostPath(link)).parent_path());
  ASSERT_EQ(::symlink(target.c_str(), emu::hostPath(link).c_str()), 0);

  startService();
  ASSERT_TRUE(waitForCore(1));
  stopService();

  EXPECT_EQ(contentsOf(target), before);
  EXPECT_TRUE(realFolder(link));
  EXPECT_TRUE(realFolder("C:\\Brimvault\\log\\bvs\\tmp"));
  EXPECT_EQ(count("Log folder " + link + " was a link: the link is removed."), 1);
  EXPECT_EQ(countPrefix("Version: "), 1) << "the log is in the real folder";
}
INSTANTIATE_TEST_SUITE_P(At, LinkedLogFolder, ::testing::Values("\\bvs", ""),
                         [](const auto &info) { return std::string(*info.param ? "Bvs" : "Log"); });

TEST_F(ServiceTest, FoldersAUserMadeAreTakenOverAndLeaveUsersOnlyWhatTheRightsGive) {
  const std::string bvs = "C:\\Brimvault\\log\\bvs", bvu = "C:\\Brimvault\\log\\bvu";
  const emu::Account user = userNamed("S-1-5-21-1-2-3-1002"), other = userNamed("S-1-5-21-1-2-3-1003");
  {
    testenv::ScopedAccount as(user);
    for (const std::string &folder : {std::string("C:\\Brimvault"), std::string("C:\\Brimvault\\log"), bvs})
      ASSERT_TRUE(CreateDirectoryW(p(w(folder)), nullptr)) << folder;
    ASSERT_EQ(rightsOf(bvs).rfind("O:" + user.userSid, 0), 0u);
  }
  startService();
  ASSERT_TRUE(waitForCore(1));
  const std::string top = "C:\\Brimvault";
  // Taken over through SetNamedSecurityInfoW, which marks the DACL auto-inherited; tmp is made with its rights.
  for (const std::string &folder : {top, top + "\\log", bvs})
    EXPECT_EQ(rightsOf(folder), "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)") << folder;
  EXPECT_EQ(rightsOf(bvs + "\\tmp"), kLocked);
  EXPECT_EQ(rightsOf(bvu), kUsersWrite);
  EXPECT_EQ(countPrefix("Log folder " + bvs + ": owner and rights are replaced (were O:" + user.userSid), 1);

  std::string log;
  for (const auto &e : fs::directory_iterator(logFolder))
    if (e.is_regular_file()) log = bvs + "\\" + e.path().filename().string();
  ASSERT_FALSE(log.empty());
  {
    testenv::ScopedAccount as(user);
    EXPECT_EQ(CreateFileW(p(w(bvs + "\\bvs_99.xlog")), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(CreateDirectoryW(p(w(bvs + "\\sub")), nullptr));
    EXPECT_FALSE(DeleteFileW(p(w(log))));
    EXPECT_FALSE(MoveFileExW(p(w(log)), p(w(bvs + "\\renamed.xlog")), 0));
    EXPECT_FALSE(MoveFileExW(p(w(bvs)), p(w(bvu + "\\bvs")), 0));
    EXPECT_FALSE(RemoveDirectoryW(p(w(bvs + "\\tmp")))); // so no link can take its place
    EXPECT_EQ(CreateFileW(p(w(log)), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  // WindowShepherd's steps under bvu, as xlog takes them on Windows, for two users logging into one file.
  const std::string wshp = bvu + "\\wshp", file = wshp + "\\wshp_20260101.xlog";
  for (const emu::Account &account : {user, other}) {
    testenv::ScopedAccount as(account);
    EXPECT_TRUE(CreateDirectoryW(p(w(wshp)), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    HANDLE h = CreateFileW(p(w(file)), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << account.userSid;
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "line\n", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    CloseHandle(h);
  }
  EXPECT_EQ(testenv::readFile(emu::hostPath(file)), "line\nline\n");
  stopService();
}

TEST_F(ServiceTest, AFolderThatCannotBeMadeSafeCostsTheFileLogButNotTheCore) {
  const emu::Account user = userNamed("S-1-5-21-1-2-3-1002");
  {
    testenv::ScopedAccount as(user);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        p(w("D:P(A;OICI;FA;;;" + user.userSid + ")")), SDDL_REVISION_1, &sd, nullptr));
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd, FALSE};
    ASSERT_TRUE(CreateDirectoryW(p(w("C:\\Brimvault")), &sa));
    LocalFree(sd);
  }
  startService();
  ASSERT_TRUE(waitForCore(1));
  EXPECT_FALSE(realFolder("C:\\Brimvault\\log"));
  const std::vector<std::string> said = emu::files::debugOutput();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0], std::to_string(state().processId) +
                         " Log folder C:\\Brimvault cannot be made safe (setting its owner and rights failed, error "
                         "0x5): no file log there.");
  stopService();
  EXPECT_TRUE(serviceLog().empty());
}

} // namespace
} // namespace servicetest
