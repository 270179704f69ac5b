// The device tools class, the device problem texts and the parsers of device identifiers.
#include "Util/devicetools.h"

#include <QMap>
#include <QRegularExpression>

DeviceTools::DeviceTools(QObject *parent) : QObject(parent) {}

QString DeviceTools::getProblemDescription(quint32 problemCode) {
  static const QMap<quint32, QString> texts = {
      {1, QStringLiteral("This device is not configured correctly.")},
      {2, QStringLiteral("The drivers for this device might be corrupted.")},
      {3, QStringLiteral("This device cannot start due to insufficient memory.")},
      {4, QStringLiteral("The registry entry for this device is invalid.")},
      {5, QStringLiteral("This device cannot find enough free resources.")},
      {6, QStringLiteral("This device has a conflict with the boot configuration.")},
      {7, QStringLiteral("This device cannot load the required filter driver.")},
      {8, QStringLiteral("The driver loader for this device is missing.")},
      {9, QStringLiteral("The device data in the registry is invalid.")},
      {10, QStringLiteral("This device cannot start.")},
      {11, QStringLiteral("This device is reporting invalid resource conflicts.")},
      {12, QStringLiteral("This device has a resource conflict.")},
      {13, QStringLiteral("Windows cannot verify this device's configuration.")},
      {14, QStringLiteral("This device requires a system restart.")},
      {15, QStringLiteral("This device failed a re-enumeration request.")},
      {16, QStringLiteral("This device has a partial configuration.")},
      {17, QStringLiteral("This device has an unknown resource type.")},
      {18, QStringLiteral("The drivers for this device must be reinstalled.")},
      {19, QStringLiteral("Windows encountered a registry problem with this device.")},
      {20, QStringLiteral("This device requires a virtual device driver (VxD).")},
      {21, QStringLiteral("This device is scheduled for removal.")},
      {22, QStringLiteral("This device is disabled.")},
      {23, QStringLiteral("The driver loader is not ready.")},
      {24, QStringLiteral("This device is not present.")},
      {25, QStringLiteral("This device was moved.")},
      {26, QStringLiteral("This device was initialized too early.")},
      {27, QStringLiteral("This device has no valid log configuration.")},
      {28, QStringLiteral("This device installation failed.")},
      {29, QStringLiteral("This device is disabled by the BIOS.")},
      {30, QStringLiteral("This device cannot share its IRQ.")},
      {31, QStringLiteral("This device could not be added.")},
      {32, QStringLiteral("This device is disabled by a service.")},
      {33, QStringLiteral("A translation failure occurred for this device.")},
      {34, QStringLiteral("This device has no soft configuration.")},
      {35, QStringLiteral("This device is missing a BIOS table entry.")},
      {36, QStringLiteral("An IRQ translation failure occurred.")},
      {37, QStringLiteral("The driver for this device failed during initialization.")},
      {38, QStringLiteral("The driver failed to unload properly.")},
      {39, QStringLiteral("The driver failed to load.")},
      {40, QStringLiteral("The driver service key is invalid.")},
      {41, QStringLiteral("A legacy service has no devices.")},
      {42, QStringLiteral("This device is a duplicate.")},
      {43, QStringLiteral("This device failed after starting.")},
      {44, QStringLiteral("This device is in a failed state.")},
      {45, QStringLiteral("This device is a phantom device.")},
      {46, QStringLiteral("This device was removed during system shutdown.")},
      {47, QStringLiteral("This device is held for ejection.")},
      {48, QStringLiteral("The driver for this device is blocked.")},
      {49, QStringLiteral("The registry entry for this device is too large.")},
      {50, QStringLiteral("Failed to set properties for this device.")},
      {51, QStringLiteral("This device is waiting for a dependency.")},
      {52, QStringLiteral("This device has an unsigned driver.")},
      {53, QStringLiteral("This device is being used by a debugger.")},
      {54, QStringLiteral("This device was reset.")},
      {55, QStringLiteral("This device is locked by the console.")},
      {56, QStringLiteral("This device requires class configuration.")},
  };
  const auto it = texts.constFind(problemCode);
  return it != texts.constEnd() ? *it : QStringLiteral("Unknown device problem.");
}

namespace {

// Group 1 of the leftmost match, or a null string.
QString firstGroup(const QRegularExpression &re, const QString &subject) {
  const QRegularExpressionMatch m = re.match(subject);
  return m.hasMatch() ? m.captured(1) : QString();
}

// Group 1 as a number in the given base that fits a signed 32-bit int, else -1.
int groupNumber(const QRegularExpression &re, const QString &subject, int base) {
  const QString digits = firstGroup(re, subject);
  if (digits.isNull()) return -1;
  bool ok = false;
  const int value = digits.toInt(&ok, base);
  return ok ? value : -1;
}

} // namespace

int DeviceTools::parseMiNumber(const QString &id) {
  static const QRegularExpression re(QStringLiteral(R"(&MI_([0-9A-Fa-f]{2})(?=&|\\|$))"));
  return groupNumber(re, id, 16);
}

int DeviceTools::parseInstanceIdInterfaceToken(const QString &instanceId) {
  static const QRegularExpression re(
      QStringLiteral(R"(\\[0-9a-zA-Z]+&[0-9a-zA-Z]+&[0-9a-zA-Z]+&([0-9a-zA-Z]+)(?=\\|$))"));
  return groupNumber(re, instanceId, 16);
}

int DeviceTools::parseUsbMiNumber(const QString &locationPath) {
  static const QRegularExpression re(QStringLiteral(R"(USBMI\((\d+)\))"));
  return groupNumber(re, locationPath, 10);
}

QString DeviceTools::getVidFromId(const QString &id) {
  static const QRegularExpression re(QStringLiteral("VID_([0-9A-Fa-f]{4})"));
  return firstGroup(re, id.toUpper());
}

QString DeviceTools::getPidFromId(const QString &id) {
  static const QRegularExpression re(QStringLiteral("PID_([0-9A-Fa-f]{4})"));
  return firstGroup(re, id.toUpper());
}

QString DeviceTools::getGuidFromString(const QString &text) {
  static const QRegularExpression re(QStringLiteral(
      R"((\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}))"));
  return firstGroup(re, text.toUpper());
}
