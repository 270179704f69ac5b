// The lock file: one writer or up to 64 readers across threads and processes, and locks left by dead holders.
#include <gtest/gtest.h>

#include <QFileInfo>

#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <windows.h>

#include "SoleInstance/lockedfile.h"
#include "soletest.h"

using SoleInstancePrivate::LockedFile;
using soletest::Helper;
using soletest::MessageCatcher;

namespace {

QString lockPath(const char *name) { return QString::fromStdString(testenv::tempDir()) + "/" + name; }

// Holds a read lock on its own thread (a mutex belongs to the thread that took it) until released.
class ReaderThread {
public:
  explicit ReaderThread(const QString &path) : releaseSignal(release.get_future().share()) {
    std::promise<bool> lockedPromise;
    locked = lockedPromise.get_future();
    thread = std::thread([path, p = std::move(lockedPromise), r = releaseSignal]() mutable {
      LockedFile lf(path);
      lf.open(QIODevice::ReadWrite);
      p.set_value(lf.lock(LockedFile::ReadLock, true));
      r.wait();
      lf.unlock();
    });
  }
  ~ReaderThread() { stop(); }
  bool isLocked() { return locked.get(); }
  void stop() {
    if (!thread.joinable()) return;
    release.set_value();
    thread.join();
  }

private:
  std::promise<void> release;
  std::shared_future<void> releaseSignal;
  std::future<bool> locked;
  std::thread thread;
};

} // namespace

TEST(LockedFile, TruncateIsRefusedAndAClosedFileIsNeitherLockedNorUnlocked) {
  const QString path = lockPath("truncate.lock");
  testenv::writeFile(path.toStdString(), "keep");
  MessageCatcher catcher;

  LockedFile lf(path);
  EXPECT_FALSE(lf.open(QIODevice::ReadWrite | QIODevice::Truncate));
  EXPECT_FALSE(lf.isOpen());
  EXPECT_EQ(testenv::readFile(path.toStdString()), "keep");
  EXPECT_EQ(catcher.count("LockedFile::open(): Truncate mode not allowed."), 1);

  EXPECT_FALSE(lf.lock(LockedFile::WriteLock, false));
  EXPECT_EQ(lf.lockMode(), LockedFile::NoLock);
  EXPECT_EQ(catcher.count("LockedFile::lock(): file is not opened"), 1);
  EXPECT_FALSE(lf.unlock());
  EXPECT_EQ(catcher.count("LockedFile::unlock(): file is not opened"), 1);

  ASSERT_TRUE(lf.open(QIODevice::ReadWrite));
  EXPECT_TRUE(lf.lock(LockedFile::WriteLock, false));
  EXPECT_TRUE(lf.isLocked());
}

TEST(LockedFile, WriteLockKeepsAnotherProcessOutUntilReleasedOrItsHolderDies) {
  const QString path = lockPath("writer.lock");
  Helper holder({"lock", path, "write"});
  ASSERT_EQ(holder.nextLine(), "locked");

  LockedFile lf(path);
  ASSERT_TRUE(lf.open(QIODevice::ReadWrite));
  EXPECT_FALSE(lf.lock(LockedFile::WriteLock, false));
  EXPECT_EQ(lf.lockMode(), LockedFile::NoLock);
  EXPECT_FALSE(lf.lock(LockedFile::ReadLock, false));
  EXPECT_EQ(lf.lockMode(), LockedFile::NoLock);

  holder.tell("unlock");
  ASSERT_EQ(holder.nextLine(), "unlocked");
  ASSERT_TRUE(lf.lock(LockedFile::WriteLock, false));
  ASSERT_TRUE(lf.unlock());

  // A holder killed with the lock leaves abandoned mutexes, which count as free.
  Helper second({"lock", path, "write"});
  ASSERT_EQ(second.nextLine(), "locked");
  EXPECT_FALSE(lf.lock(LockedFile::WriteLock, false));
  second.killHard();
  EXPECT_TRUE(lf.lock(LockedFile::WriteLock, false));
  EXPECT_EQ(lf.lockMode(), LockedFile::WriteLock);
}

TEST(LockedFile, SixtyFourReadersFitAndASixtyFifthIsRefused) {
  const QString path = lockPath("many.lock");
  std::vector<std::unique_ptr<ReaderThread>> readers;
  for (int i = 0; i < 64; ++i) {
    readers.push_back(std::make_unique<ReaderThread>(path));
    ASSERT_TRUE(readers.back()->isLocked()) << "reader " << i;
  }

  MessageCatcher catcher;
  LockedFile extra(path);
  ASSERT_TRUE(extra.open(QIODevice::ReadWrite));
  EXPECT_FALSE(extra.lock(LockedFile::ReadLock, false));
  EXPECT_EQ(extra.lockMode(), LockedFile::NoLock);
  EXPECT_EQ(catcher.count("LockedFile::lock(): too many readers"), 1);
  EXPECT_FALSE(extra.lock(LockedFile::WriteLock, false));

  // One reader leaves: its slot is free for the next one, and the writer still waits for the others.
  readers[17]->stop();
  EXPECT_FALSE(extra.lock(LockedFile::WriteLock, false));
  EXPECT_TRUE(extra.lock(LockedFile::ReadLock, false));
  EXPECT_EQ(catcher.count("LockedFile::lock(): too many readers"), 1);
}

TEST(LockedFile, LockingTheHeldModeAgainTakesNothingMore) {
  const QString path = lockPath("again.lock");
  LockedFile lf(path);
  ASSERT_TRUE(lf.open(QIODevice::ReadWrite));
  ASSERT_TRUE(lf.lock(LockedFile::WriteLock, false));
  ASSERT_TRUE(lf.lock(LockedFile::WriteLock, false));
  // One unlock must free it: a second, recursive take of the mutex would still hold it.
  ASSERT_TRUE(lf.unlock());
  Helper other({"lock", path, "write"});
  EXPECT_EQ(other.nextLine(), "locked");
  other.tell("unlock");
  ASSERT_EQ(other.nextLine(), "unlocked");

  // Read to write: the read slot goes, the writer takes everything.
  ASSERT_TRUE(lf.lock(LockedFile::ReadLock, false));
  ASSERT_TRUE(lf.lock(LockedFile::WriteLock, false));
  EXPECT_EQ(lf.lockMode(), LockedFile::WriteLock);
  Helper reader({"lock", path, "read"});
  EXPECT_EQ(reader.nextLine(), "busy");
  ASSERT_TRUE(lf.lock(LockedFile::NoLock, false));
  EXPECT_EQ(lf.lockMode(), LockedFile::NoLock);
  Helper reader2({"lock", path, "read"});
  EXPECT_EQ(reader2.nextLine(), "locked");
}

// With wait-all, an abandoned mutex at any index of the set means the writer got them all.
TEST(LockedFile, AWriterTakesAReaderSlotAbandonedBehindAFreeOne) {
  const QString path = lockPath("abandoned.lock");
  const QString base = "LockedFile mutex " + QFileInfo(path).absoluteFilePath().toLower();

  LockedFile first(path);
  ASSERT_TRUE(first.open(QIODevice::ReadWrite));
  ASSERT_TRUE(first.lock(LockedFile::ReadLock, false)); // slot 0
  Helper reader({"lock", path, "read"});
  ASSERT_EQ(reader.nextLine(), "locked"); // slot 1

  // Keep both slots in existence once their holders are gone.
  const QString slot0 = base + "0", slot1 = base + "1";
  HANDLE keep0 = OpenMutexW(SYNCHRONIZE, FALSE, reinterpret_cast<const WCHAR *>(slot0.utf16()));
  HANDLE keep1 = OpenMutexW(SYNCHRONIZE, FALSE, reinterpret_cast<const WCHAR *>(slot1.utf16()));
  ASSERT_NE(keep0, nullptr);
  ASSERT_NE(keep1, nullptr);
  ASSERT_TRUE(first.unlock());
  reader.killHard();

  MessageCatcher catcher;
  LockedFile writer(path);
  ASSERT_TRUE(writer.open(QIODevice::ReadWrite));
  EXPECT_TRUE(writer.lock(LockedFile::WriteLock, false));
  EXPECT_EQ(writer.lockMode(), LockedFile::WriteLock);
  EXPECT_EQ(catcher.count("WaitForMultipleObjects failed"), 0);
  CloseHandle(keep0);
  CloseHandle(keep1);
}
