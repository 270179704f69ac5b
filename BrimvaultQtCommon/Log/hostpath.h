// Fixed Windows folders ("C:/Brimvault/log/bvs") as the host sees them, for Qt's file classes.
#pragma once

#include <QString>

// Identity on Windows; elsewhere the emulated machine's drive mapping.
QString hostFolder(const QString &windowsFolder);
