#pragma once

#include "StackPageWidget.h"

namespace Ui {
class PageConnectAndDfuForm;
}

class PageConnectAndDfuForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageConnectAndDfuForm(QWidget* parent);
    ~PageConnectAndDfuForm() override;

public slots:
    void reset() override;

private:
    Ui::PageConnectAndDfuForm* ui;
};
