#include "lockedfile.h"

namespace SoleInstancePrivate {

LockedFile::LockedFile() = default;

LockedFile::LockedFile(const QString &name) : QFile(name) {}

// Truncating would destroy what another holder of the lock may be reading.
bool LockedFile::open(OpenMode openMode) {
  if (openMode & QIODevice::Truncate) {
    qWarning("LockedFile::open(): Truncate mode not allowed.");
    return false;
  }
  return QFile::open(openMode);
}

bool LockedFile::isLocked() const { return mode != NoLock; }

LockedFile::LockMode LockedFile::lockMode() const { return mode; }

} // namespace SoleInstancePrivate
