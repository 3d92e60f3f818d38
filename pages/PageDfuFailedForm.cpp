#include "PageDfuFailedForm.h"
#include "ui_PageDfuFailedForm.h"

#include "BuildStamp.h"

PageDfuFailedForm::PageDfuFailedForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageDfuFailedForm) {
    errorCount = 0;
    ui->setupUi(this);
    setAccessibleName(tr("La mise à jour a échoué"));
    ui->pErrorContext->setAccessibleName(tr("Contexte de l'erreur"));
    // Read line by line with the keyboard, as a screen reader does.
    ui->pErrorContext->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                               Qt::TextSelectableByKeyboard);
    ui->pErrorContext->appendHtml(QStringLiteral("<font color=\"#00FF00\">Build : </font>") +
                                  buildStamp());
}

PageDfuFailedForm::~PageDfuFailedForm() {
    delete ui;
}

void PageDfuFailedForm::reset() {}

void PageDfuFailedForm::appendErrorDesc(QString file, int line, QString errorDesc) {
    errorCount += 1;
    // The texts are inserted as they are: markup in them is meant to render.
    const QString html = QString::asprintf(
        "<font color=\"#FF0000\">n°%d : %s(%d) : </font><font color=\"#808080\">&nbsp;</font>"
        "<font color=\"#808080\">%s</font>",
        errorCount, file.toUtf8().constData(), line, errorDesc.toUtf8().constData());
    ui->pErrorContext->appendHtml(html);
}
