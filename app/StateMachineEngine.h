#pragma once

#include <QObject>
#include <QString>

// Hands out the update flow's state identifiers: 1, 2, 3, ... per process.
class StateMachineEngine : public QObject {
    Q_OBJECT
public:
    explicit StateMachineEngine(QObject* parent = nullptr);

    static qint32 newStateId(const QString& name);
    // The name an identifier was handed out for.
    static QString stateName(qint32 id);
};
