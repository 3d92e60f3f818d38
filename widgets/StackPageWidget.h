#pragma once

#include <QWidget>

// Base of every page of the dialog's page stack.
class StackPageWidget : public QWidget {
    Q_OBJECT
public:
    explicit StackPageWidget(QWidget* parent);

public slots:
    // Restarts the page's animations; the dialog calls it before showing the page.
    virtual void reset() = 0;
};
