#pragma once

#include <QWidget>

// Base of every page of the dialog's page stack; a screen reader knows it by its accessible name.
class StackPageWidget : public QWidget {
    Q_OBJECT
public:
    explicit StackPageWidget(QWidget* parent);

    // The first control that Tab would reach on the page, or the page itself when it has none:
    // a screen reader then says where the update is.
    void focusFirstControl();

public slots:
    // Restarts the page's animations; the dialog calls it before showing the page.
    virtual void reset() = 0;
};
