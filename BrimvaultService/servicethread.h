// The thread that hands the program to the service control dispatcher.
#pragma once

#include <QThread>

class ServiceThread : public QThread {
public:
  using QThread::QThread;

protected:
  void run() override;
};
