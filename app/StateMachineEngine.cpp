#include "StateMachineEngine.h"

#include <QHash>

namespace {
qint32 lastStateId = 0;
QHash<qint32, QString> stateNames;
} // namespace

StateMachineEngine::StateMachineEngine(QObject* parent) : QObject(parent) {}

qint32 StateMachineEngine::newStateId(const QString& name) {
    stateNames.insert(++lastStateId, name);
    return lastStateId;
}

QString StateMachineEngine::stateName(qint32 id) {
    return stateNames.value(id, QString::number(id));
}
