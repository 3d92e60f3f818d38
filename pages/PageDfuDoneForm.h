#pragma once

#include "StackPageWidget.h"

namespace Ui {
class PageDfuDoneForm;
}

class PageDfuDoneForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageDfuDoneForm(QWidget* parent);
    ~PageDfuDoneForm() override;

signals:
    void doQuit();

public slots:
    void reset() override;

private slots:
    void on_pBitmapQuitBtn_clicked();

private:
    Ui::PageDfuDoneForm* ui;
};
