#include "lockedfile.h"

#include <QFileInfo>

#include <windows.h>

namespace SoleInstancePrivate {

namespace {

// With wait-all, any index in either range means every mutex is now ours.
bool waitAllSucceeded(DWORD result, DWORD count) {
  return result < WAIT_OBJECT_0 + count || (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count);
}

} // namespace

Qt::HANDLE LockedFile::mutexHandle(int idx, bool create) {
  if (mutexName.isEmpty()) {
    QFileInfo info(*this);
    mutexName = QLatin1String("LockedFile mutex ") + info.absoluteFilePath().toLower();
  }
  QString name = mutexName;
  if (idx >= 0) name += QString::number(idx);

  const WCHAR *wname = reinterpret_cast<const WCHAR *>(name.utf16());
  HANDLE mutex;
  if (create) {
    mutex = CreateMutexW(nullptr, FALSE, wname);
    if (!mutex) qErrnoWarning("LockedFile::lock(): CreateMutex failed");
  } else {
    mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, wname);
    // A reader slot that nobody has created is the normal end of the list.
    if (!mutex && GetLastError() != ERROR_FILE_NOT_FOUND) qErrnoWarning("LockedFile::lock(): OpenMutex failed");
  }
  return mutex;
}

bool LockedFile::waitOnMutex(Qt::HANDLE mutex, bool block) {
  DWORD res = WaitForSingleObject(mutex, block ? INFINITE : 0);
  switch (res) {
  case WAIT_OBJECT_0:
  case WAIT_ABANDONED: // left behind by a holder that died: ours now
    return true;
  case WAIT_TIMEOUT:
    return false;
  default:
    qErrnoWarning("LockedFile::lock(): WaitForSingleObject failed");
    return false;
  }
}

bool LockedFile::lock(LockMode newMode, bool block) {
  if (!isOpen()) {
    qWarning("LockedFile::lock(): file is not opened");
    return false;
  }
  if (newMode == NoLock) return unlock();
  if (newMode == mode) return true;
  if (mode != NoLock) unlock();

  if (!writerMutex && !(writerMutex = mutexHandle(-1, true))) return false;
  if (!waitOnMutex(writerMutex, block)) return false;

  if (newMode == ReadLock) {
    bool ok = true;
    int idx = 0;
    for (; idx < kMaxReaders; ++idx) {
      readerMutex = mutexHandle(idx, false);
      if (!readerMutex || waitOnMutex(readerMutex, false)) break;
      CloseHandle(readerMutex);
    }
    if (idx == kMaxReaders) {
      qWarning("LockedFile::lock(): too many readers");
      readerMutex = nullptr;
      ok = false;
    } else if (!readerMutex) {
      readerMutex = mutexHandle(idx, true);
      if (!readerMutex || !waitOnMutex(readerMutex, false)) {
        if (readerMutex) CloseHandle(readerMutex);
        readerMutex = nullptr;
        ok = false;
      }
    }
    // A reader holds only its slot, so other readers can pass the writer mutex.
    ReleaseMutex(writerMutex);
    if (!ok) return false;
  } else {
    for (int idx = 0; idx < kMaxReaders; ++idx) {
      if (HANDLE mutex = mutexHandle(idx, false)) readerMutexes.append(mutex);
    }
    if (!readerMutexes.isEmpty()) {
      const DWORD count = static_cast<DWORD>(readerMutexes.size());
      DWORD res = WaitForMultipleObjects(count, readerMutexes.constData(), TRUE, block ? INFINITE : 0);
      if (!waitAllSucceeded(res, count)) {
        if (res != WAIT_TIMEOUT) qErrnoWarning("LockedFile::lock(): WaitForMultipleObjects failed");
        mode = WriteLock; // lets unlock() give back the writer mutex and the slot handles
        unlock();
        return false;
      }
    }
  }
  mode = newMode;
  return true;
}

bool LockedFile::unlock() {
  if (!isOpen()) {
    qWarning("LockedFile::unlock(): file is not opened");
    return false;
  }
  if (!isLocked()) return true;
  if (mode == ReadLock) {
    ReleaseMutex(readerMutex);
    CloseHandle(readerMutex);
    readerMutex = nullptr;
  } else {
    for (HANDLE mutex : std::as_const(readerMutexes)) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
    readerMutexes.clear();
    ReleaseMutex(writerMutex);
  }
  mode = NoLock;
  return true;
}

LockedFile::~LockedFile() {
  if (isOpen()) unlock();
  if (writerMutex) CloseHandle(writerMutex);
}

} // namespace SoleInstancePrivate
