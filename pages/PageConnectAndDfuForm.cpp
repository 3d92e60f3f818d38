#include "PageConnectAndDfuForm.h"
#include "ui_PageConnectAndDfuForm.h"

PageConnectAndDfuForm::PageConnectAndDfuForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageConnectAndDfuForm) {
    ui->setupUi(this);
    setAccessibleName(tr("Recherche de ton enceinte…"));
    setAccessibleDescription(tr("Laisse-la branchée et allumée, on s’occupe du reste."));
    ui->pAnim->setAccessibleName(tr("Étape 2 sur 4"));
    const QString picture = QStringLiteral(":/Pages2/3-reconnaissance");
    ui->pAnim->sequence.setLoop(false);
    ui->pAnim->sequence.append(CrossfadeStep(picture, 2000, 1, picture));
}

PageConnectAndDfuForm::~PageConnectAndDfuForm() {
    delete ui;
}

void PageConnectAndDfuForm::reset() {
    ui->pAnim->start();
}
