#include "signalcenter.h"

// Set once and never reset: nothing may use the hub after the application object has destroyed it.
SignalCenter *SignalCenter::s_instance = nullptr;

SignalCenter::SignalCenter(QObject *parent) : QObject(parent) {}

void SignalCenter::createInstance(QObject *parent) {
  if (!s_instance) s_instance = new SignalCenter(parent);
}

SignalCenter *SignalCenter::instance() { return s_instance; }
