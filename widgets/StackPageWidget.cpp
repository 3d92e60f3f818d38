#include "StackPageWidget.h"

#include "KernoAccessible.h"

StackPageWidget::StackPageWidget(QWidget* parent) : QWidget(parent) {
    installKernoAccessibility();
}

void StackPageWidget::focusFirstControl() {
    for (QWidget* w = nextInFocusChain(); w && w != this; w = w->nextInFocusChain()) {
        if (isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(this) &&
            w->isEnabled()) {
            w->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
    setFocus(Qt::OtherFocusReason);
}
