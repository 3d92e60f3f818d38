#include "PageDfuLastPercentForm.h"
#include "ui_PageDfuLastPercentForm.h"

PageDfuLastPercentForm::PageDfuLastPercentForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageDfuLastPercentForm) {
    ui->setupUi(this);
    // The two lines painted into the background, for whoever cannot see them.
    setAccessibleName(tr("Encore quelques secondes"));
    setAccessibleDescription(tr("Merci de ne pas débrancher ton enceinte."));
    ui->pAnim->setAccessibleName(tr("Étape 4 sur 4"));
    ui->pAnim->setBackground(QStringLiteral(":/Pages2/0-fond-99"));
    ui->pAnim->sequence.setLoop(true);
    const QString ring1 = QStringLiteral(":/Pages2/8-99-1");
    const QString ring2 = QStringLiteral(":/Pages2/9-99-2");
    const QString ring3 = QStringLiteral(":/Pages2/10-99-3");
    ui->pAnim->sequence.append(CrossfadeStep(ring1, 125, 10, ring2));
    ui->pAnim->sequence.append(CrossfadeStep(ring2, 125, 10, ring3));
    ui->pAnim->sequence.append(CrossfadeStep(ring3, 125, 10, ring2));
    ui->pAnim->sequence.append(CrossfadeStep(ring2, 125, 10, ring1));
}

PageDfuLastPercentForm::~PageDfuLastPercentForm() {
    delete ui;
}

void PageDfuLastPercentForm::reset() {
    ui->pAnim->start();
}
