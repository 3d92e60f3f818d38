#pragma once

#include "StackPageWidget.h"

namespace Ui {
class PageNetworkErrorForm;
}

class PageNetworkErrorForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageNetworkErrorForm(QWidget* parent);
    ~PageNetworkErrorForm() override;

public slots:
    void reset() override;

private:
    Ui::PageNetworkErrorForm* ui;
};
