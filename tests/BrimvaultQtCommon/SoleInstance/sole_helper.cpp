// A second process for the single-instance tests. Commands (one per run):
//   lock <file> read|write   takes the lock without blocking, prints "locked" or "busy", then obeys stdin:
//                            "unlock" unlocks and prints "unlocked"; end of input ends the process
//   send <id> <message> <ms> sends one message as a later instance; exit code 1 when acknowledged, else 0
#include <QCoreApplication>

#include <cstdio>
#include <iostream>
#include <string>

#include "SoleInstance/lockedfile.h"
#include "SoleInstance/soleinstancepeer.h"

namespace {

void say(const char *text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

int holdLock(const QString &file, const QString &modeText) {
  SoleInstancePrivate::LockedFile lf(file);
  if (!lf.open(QIODevice::ReadWrite)) {
    say("open failed");
    return 2;
  }
  const auto mode = modeText == QLatin1String("read") ? SoleInstancePrivate::LockedFile::ReadLock
                                                      : SoleInstancePrivate::LockedFile::WriteLock;
  say(lf.lock(mode, false) ? "locked" : "busy");
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "unlock") say(lf.unlock() ? "unlocked" : "unlock failed");
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() == 4 && args[1] == QLatin1String("lock")) return holdLock(args[2], args[3]);
  if (args.size() == 5 && args[1] == QLatin1String("send")) {
    SoleInstancePeer peer(nullptr, args[2]);
    return peer.sendMessage(args[3], args[4].toInt()) ? 1 : 0;
  }
  std::fprintf(stderr, "usage: sole_helper lock <file> read|write | send <id> <message> <ms>\n");
  return 2;
}
