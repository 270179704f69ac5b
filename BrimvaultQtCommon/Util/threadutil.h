// A QObject of the utility library with nothing of its own beyond construction.
#pragma once

#include <QObject>

class ThreadUtil : public QObject {
  Q_OBJECT
public:
  explicit ThreadUtil(QObject *parent = nullptr);
};
