#include "PageDfuProgressForm.h"
#include "ui_PageDfuProgressForm.h"

#include "HighDpi.h"

#include "PhrasesChoc.h"
#include "Tune.h"

#include <QRegularExpression>
#include <QTimerEvent>

PageDfuProgressForm::PageDfuProgressForm(QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageDfuProgressForm), tune(new Tune(this)) {
    ui->setupUi(this);
    setAccessibleName(tr("Mise à jour en cours"));
    ui->pAnim->setAccessibleName(tr("Étape 3 sur 4"));
    ui->pAnimPhrasesChoc->setAccessibleName(tr("Phrases choc"));
    ui->pAnimPhrasesChocSW->setAccessibleName(tr("Phrases choc"));
    HighDpi::pinFontsToPixels(this);

    ui->pAnim->setBackground(QStringLiteral(":/Pages2/0-fond-0-98"));
    ui->pAnim->sequence.setLoop(true);
    const QString pictures[] = {
        QStringLiteral(":/Pages2/4-telechargement-1"), QStringLiteral(":/Pages2/5-telechargement-2"),
        QStringLiteral(":/Pages2/6-telechargement-3"), QStringLiteral(":/Pages2/7-telechargement-4")};
    for (int i = 0; i < 4; ++i)
        ui->pAnim->sequence.append(CrossfadeStep(pictures[i], 5000, 50, pictures[(i + 1) % 4]));

    phraseIndex = 0;
    ui->pAnimPhrasesChoc->setPhrases(phrasesChoc());
    ui->pAnimPhrasesChocSW->setPhrases(phrasesChoc());
    // What the scrollers show, for a screen reader: the phrases without the blank spacing.
    const QString scrolled =
        phrasesChoc().filter(QRegularExpression(QStringLiteral("\\S"))).join(QLatin1Char('\n'));
    ui->pAnimPhrasesChoc->setAccessibleDescription(scrolled);
    ui->pAnimPhrasesChocSW->setAccessibleDescription(scrolled);

    ui->pCircularProgress->setMinimum(0);
    ui->pCircularProgress->setMaximum(100);
    ui->pCircularProgress->setValue(0);

    setNoScroll();
}

PageDfuProgressForm::~PageDfuProgressForm() {
    delete ui;
}

void PageDfuProgressForm::reset() {
    ui->pCircularProgress->setValue(0);
    ui->pAnim->start();
}

void PageDfuProgressForm::setProgress(int val) {
    ui->pCircularProgress->setValue(val);
}

void PageDfuProgressForm::stopPhraseTimer() {
    if (phraseTimerId)
        killTimer(phraseTimerId);
    phraseTimerId = 0;
}

void PageDfuProgressForm::setNoScroll() {
    showPhrases(ui->pPhrasesChoc);
    phraseTimerId = startTimer(2500, Qt::CoarseTimer);
}

void PageDfuProgressForm::setNormalScroll() {
    showPhrases(ui->pAnimPhrasesChoc);
    ui->pAnimPhrasesChoc->start();
}

void PageDfuProgressForm::setStarWarsScroll() {
    showPhrases(ui->pAnimPhrasesChocSW);
    ui->pAnimPhrasesChocSW->start();
    tune->play();
}

// One way of showing the phrases at a time; the hidden animators stop drawing.
void PageDfuProgressForm::showPhrases(QWidget* shown) {
    stopPhraseTimer();
    ui->pPhrasesChoc->setVisible(shown == ui->pPhrasesChoc);
    ui->pAnimPhrasesChoc->setVisible(shown == ui->pAnimPhrasesChoc);
    ui->pAnimPhrasesChocSW->setVisible(shown == ui->pAnimPhrasesChocSW);
    if (shown != ui->pAnimPhrasesChoc)
        ui->pAnimPhrasesChoc->stop();
    if (shown != ui->pAnimPhrasesChocSW)
        ui->pAnimPhrasesChocSW->stop();
    tune->stop();
}

void PageDfuProgressForm::progressDn() {
    ui->pCircularProgress->setValue(ui->pCircularProgress->value() - 1);
}

void PageDfuProgressForm::progressUp() {
    ui->pCircularProgress->setValue(ui->pCircularProgress->value() + 1);
}

void PageDfuProgressForm::timerEvent(QTimerEvent* event) {
    if (event->timerId() != phraseTimerId || phraseTimerId == 0)
        return;
    const QStringList& phrases = phrasesChoc();
    const QString& phrase = phrases.at(phraseIndex);
    ui->pPhrasesChoc->setText(phrase);
    // Qt 5 has no live region: the progress bar, which holds the focus on this page, carries the
    // phrase, and screen readers say the new description of the focused object.
    if (!phrase.isEmpty())
        ui->pCircularProgress->setAccessibleDescription(phrase);
    phraseIndex += 1;
    if (phraseIndex >= phrases.size())
        phraseIndex = 0;
}
