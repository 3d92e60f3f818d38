#pragma once

#include <QAction>
#include <QKeySequence>

// A hidden action of the dialog, reached only through its key sequence.
class ShortcutAction {
public:
    ShortcutAction(const QString& text, QWidget* parent, int k1, int k2 = 0, int k3 = 0,
                   int k4 = 0);

    bool connectTo(const QObject* receiver, const char* slot);

    QAction action;
    QKeySequence keySequence;
};
