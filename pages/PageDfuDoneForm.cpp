#include "PageDfuDoneForm.h"
#include "ui_PageDfuDoneForm.h"

PageDfuDoneForm::PageDfuDoneForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageDfuDoneForm) {
    ui->setupUi(this);
    setAccessibleName(tr("Mise à jour terminée"));
    setAccessibleDescription(tr("Enjoy ! Ta Tindal 2 est à jour."));
    ui->pAnim->setAccessibleName(tr("Étapes 1 à 4 terminées"));
    ui->pBitmapQuitBtn->setPixmap(QStringLiteral(":/Buttons/btnDone"));
    ui->pBitmapQuitBtn->setVisible(true);
    const QString picture = QStringLiteral(":/Pages2/11-fin");
    ui->pAnim->sequence.setLoop(false);
    ui->pAnim->sequence.append(CrossfadeStep(picture, 250, 1, picture));
}

PageDfuDoneForm::~PageDfuDoneForm() {
    delete ui;
}

void PageDfuDoneForm::reset() {
    ui->pAnim->start();
}

void PageDfuDoneForm::on_pBitmapQuitBtn_clicked() {
    emit doQuit();
}
