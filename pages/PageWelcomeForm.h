#pragma once

#include "StackPageWidget.h"

namespace Ui {
class PageWelcomeForm;
}

class PageWelcomeForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageWelcomeForm(QWidget* parent);
    ~PageWelcomeForm() override;

signals:
    void goNext();

public slots:
    void reset() override;
    void setFwName(QString fwName);

protected slots:
    void animFinished();

private:
    Ui::PageWelcomeForm* ui;
};
