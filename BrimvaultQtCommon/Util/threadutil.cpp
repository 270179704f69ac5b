#include "Util/threadutil.h"

ThreadUtil::ThreadUtil(QObject *parent) : QObject(parent) {}
