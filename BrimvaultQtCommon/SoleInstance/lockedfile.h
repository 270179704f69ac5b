// A QFile with an advisory lock between processes: one writer or up to 64 readers, made of named mutexes.
#pragma once

#include <QFile>
#include <QList>
#include <QString>

namespace SoleInstancePrivate {

class LockedFile : public QFile {
public:
  enum LockMode { NoLock = 0, ReadLock, WriteLock };

  LockedFile();
  explicit LockedFile(const QString &name);
  ~LockedFile() override;

  using QFile::open;
  bool open(OpenMode openMode) override;

  bool lock(LockMode newMode, bool block = true);
  bool unlock();
  bool isLocked() const;
  LockMode lockMode() const;

private:
  // One wait for all slots takes at most this many handles.
  static constexpr int kMaxReaders = 64;

  // Qt::HANDLE is the Win32 HANDLE; the header stays free of windows.h.
  Qt::HANDLE mutexHandle(int idx, bool create);
  bool waitOnMutex(Qt::HANDLE mutex, bool block);

  Qt::HANDLE writerMutex = nullptr;
  Qt::HANDLE readerMutex = nullptr;
  QList<Qt::HANDLE> readerMutexes;
  QString mutexName;
  LockMode mode = NoLock;
};

} // namespace SoleInstancePrivate
