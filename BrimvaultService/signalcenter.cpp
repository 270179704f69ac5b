#include "signalcenter.h"

// Cleared when the application object destroys the hub, so a late caller finds none instead of a dead one.
QPointer<SignalCenter> SignalCenter::s_instance;

SignalCenter::SignalCenter(QObject *parent) : QObject(parent) {}

void SignalCenter::createInstance(QObject *parent) {
  if (!s_instance) s_instance = new SignalCenter(parent);
}

SignalCenter *SignalCenter::instance() { return s_instance.data(); }
