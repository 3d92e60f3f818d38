#pragma once

#include "StackPageWidget.h"

namespace Ui {
class PageDfuLastPercentForm;
}

class PageDfuLastPercentForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageDfuLastPercentForm(QWidget* parent);
    ~PageDfuLastPercentForm() override;

public slots:
    void reset() override;

private:
    Ui::PageDfuLastPercentForm* ui;
};
