#include "PageNetworkErrorForm.h"
#include "ui_PageNetworkErrorForm.h"

PageNetworkErrorForm::PageNetworkErrorForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageNetworkErrorForm) {
    ui->setupUi(this);
    setAccessibleName(tr("Problème réseau"));
}

PageNetworkErrorForm::~PageNetworkErrorForm() {
    delete ui;
}

void PageNetworkErrorForm::reset() {}
