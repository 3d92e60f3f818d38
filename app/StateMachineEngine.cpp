#include "StateMachineEngine.h"

namespace {
qint32 lastStateId = 0;
}

StateMachineEngine::StateMachineEngine(QObject* parent) : QObject(parent) {}

qint32 StateMachineEngine::newStateId(const QString&) {
    return ++lastStateId;
}
