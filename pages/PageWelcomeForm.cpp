#include "PageWelcomeForm.h"
#include "ui_PageWelcomeForm.h"

PageWelcomeForm::PageWelcomeForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageWelcomeForm) {
    ui->setupUi(this);
    // The pictures' words, for whoever cannot see them.
    setAccessibleName(tr("Mise à jour de ton enceinte"));
    setAccessibleDescription(
        tr("Branche ton enceinte en USB, puis appuie sur Suivant pour lancer la mise à jour."));
    ui->pAnim->setAccessibleName(tr("Étape 1 sur 4"));
    ui->pReadyBtn->setPixmap(QStringLiteral(":/Buttons/btnReady"));
    ui->pReadyBtn->hide();

    ui->pAnim->sequence.setLoop(false);
    ui->pAnim->sequence.append(CrossfadeStep(QStringLiteral(":/Pages2/1-accueil-1"), 1000, 1,
                                             QStringLiteral(":/Pages2/1-accueil-1")));
    ui->pAnim->sequence.append(CrossfadeStep(QStringLiteral(":/Pages2/1-accueil-1"), 250, 15,
                                             QStringLiteral(":/Pages2/2-accueil-2")));
    connect(ui->pAnim, &AnimatedSequence::finished, this, &PageWelcomeForm::animFinished);
    connect(ui->pReadyBtn, &QPushButton::clicked, this, &PageWelcomeForm::goNext);

    ui->pCirProgTest->hide();
    ui->pChangeFirmwarePB->hide();
    // The parent is the main dialog, which offers choseFirmware(bool).
    connect(ui->pChangeFirmwarePB, SIGNAL(clicked(bool)), parent, SLOT(choseFirmware(bool)));
}

PageWelcomeForm::~PageWelcomeForm() {
    delete ui;
}

void PageWelcomeForm::reset() {
    ui->pAnim->start();
}

void PageWelcomeForm::setFwName(QString fwName) {
    ui->pFwVersionLbl->setText(fwName);
}

void PageWelcomeForm::animFinished() {
    ui->pReadyBtn->show();
    // The page held the focus until its button came.
    if (window()->focusWidget() == this)
        focusFirstControl();
}
