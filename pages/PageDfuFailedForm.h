#pragma once

#include "StackPageWidget.h"

namespace Ui {
class PageDfuFailedForm;
}

class PageDfuFailedForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageDfuFailedForm(QWidget* parent);
    ~PageDfuFailedForm() override;

public slots:
    void reset() override;
    void appendErrorDesc(QString file, int line, QString errorDesc);

private:
    Ui::PageDfuFailedForm* ui;
    int errorCount = 0;
};
