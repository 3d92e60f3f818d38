#include "ShortcutAction.h"

#include <QWidget>

ShortcutAction::ShortcutAction(const QString& text, QWidget* parent, int k1, int k2, int k3,
                               int k4)
    : action(text, parent), keySequence(k1, k2, k3, k4) {
    action.setShortcut(keySequence);
    parent->addAction(&action);
}

bool ShortcutAction::connectTo(const QObject* receiver, const char* slot) {
    return QObject::connect(&action, SIGNAL(triggered()), receiver, slot);
}
