#include "KernoTindalUpdateDlg.h"
#include "ui_KernoTindalUpdateDlg.h"

#include "BuildStamp.h"
#include "ChosenFirmware.h"
#include "HidDfuLibrary.h"
#include "ModalSeam.h"
#include "PlaceholderImage.h"
#include "StateMachineEngine.h"
#include "UnifiedHidAPI.h"

#include <QCloseEvent>
#include <QDir>
#include <QNetworkProxyFactory>
#include <QPlainTextEdit>
#include <QTimerEvent>

#include <csignal>
#include <cstdio>
#include <cstdlib>

int connectTickCounter = 3;

namespace {

// Error-context lines name this source and the line of the failure.
const QString kSourceName = QStringLiteral("KernoTindalUpdateDlg");
constexpr int kLineSeveralSpeakers = 401;
constexpr int kLinePlaceholderRefused = 418;
constexpr int kLineUpgradeNotStarted = 419;
constexpr int kLineResetInError = 517;
constexpr int kLineUpgradedTooLong = 525;

constexpr int kStepIntervalMs = 20;
constexpr int kBeforeResetMs = 1000;
constexpr int kBeforeCheckStatusMs = 1000;
constexpr int kUpgradedTooLongMs = 20000;

constexpr int kShortcut = Qt::CTRL | Qt::ALT | Qt::SHIFT;

// Stopped by a signal: 128 + its number, as shells report it.
constexpr int kExitSignalBase = 128;

QString firmwareStartDirectory() {
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\");
#else
    return QDir::homePath();
#endif
}

} // namespace

#define NEW_STATE_ID(id) id(StateMachineEngine::newStateId(QStringLiteral(#id)))

KernoTindalUpdateDlg::KernoTindalUpdateDlg(QWidget* parent)
    : QDialog(parent), ui(new Ui::KernoTindalUpdateDlg), welcomePage(this), connectPage(this),
      progressPage(this), lastPercentPage(this), donePage(this), networkErrorPage(this),
      failedPage(this), NEW_STATE_ID(ID_WELCOME_INIT_ENTER), NEW_STATE_ID(ID_WELCOME_INIT),
      NEW_STATE_ID(ID_WELCOME_INIT_EXIT), NEW_STATE_ID(ID_NOT_CONNECTED_ENTER),
      NEW_STATE_ID(ID_NOT_CONNECTED), NEW_STATE_ID(ID_NOT_CONNECTED_EXIT),
      NEW_STATE_ID(ID_CONNECTED_ENTER), NEW_STATE_ID(ID_CONNECTED),
      NEW_STATE_ID(ID_CONNECTED_EXIT), NEW_STATE_ID(ID_UPGRADING_ENTER),
      NEW_STATE_ID(ID_UPGRADING), NEW_STATE_ID(ID_UPGRADING_EXIT),
      NEW_STATE_ID(ID_UPGRADED_ENTER), NEW_STATE_ID(ID_UPGRADED), NEW_STATE_ID(ID_UPGRADED_EXIT),
      NEW_STATE_ID(ID_RESETED_ENTER), NEW_STATE_ID(ID_RESETED), NEW_STATE_ID(ID_RESETED_EXIT),
      NEW_STATE_ID(ID_NETWORK_ERROR_ENTER), NEW_STATE_ID(ID_NETWORK_ERROR),
      NEW_STATE_ID(ID_NETWORK_ERROR_EXIT), NEW_STATE_ID(ID_DFU_ERROR_ENTER),
      NEW_STATE_ID(ID_DFU_ERROR), NEW_STATE_ID(ID_DFU_ERROR_EXIT),
      currentState(ID_WELCOME_INIT_ENTER), firmwarePath(QString()),
      firmwareChoiceAction(QStringLiteral("firmwareChoice"), this, kShortcut | Qt::Key_F),
      showPageWelcomeAction1(QStringLiteral("showPageWelcome"), this, kShortcut | Qt::Key_1),
      showPageWelcomeAction2(QStringLiteral("showPageWelcome"), this, kShortcut | Qt::Key_Z),
      showPageConnectAndDfuAction1(QStringLiteral("showPageConnectAndDfu"), this,
                                   kShortcut | Qt::Key_2),
      showPageConnectAndDfuAction2(QStringLiteral("showPageConnectAndDfu"), this,
                                   kShortcut | Qt::Key_E),
      showPageProgressAction1(QStringLiteral("showPageProgress"), this, kShortcut | Qt::Key_3),
      showPageProgressAction2(QStringLiteral("showPageProgress"), this, kShortcut | Qt::Key_R),
      showPageDfuLastPercentAction1(QStringLiteral("showPageDfuLastPercent"), this,
                                    kShortcut | Qt::Key_4),
      showPageDfuLastPercentAction2(QStringLiteral("showPageDfuLastPercent"), this,
                                    kShortcut | Qt::Key_T),
      showPageDfuDoneAction1(QStringLiteral("showPageDfuDone"), this, kShortcut | Qt::Key_5),
      showPageDfuDoneAction2(QStringLiteral("showPageDfuDone"), this, kShortcut | Qt::Key_Y),
      showPageFailedAction1(QStringLiteral("showPageFailed"), this, kShortcut | Qt::Key_6),
      showPageFailedAction2(QStringLiteral("showPageFailed"), this, kShortcut | Qt::Key_U),
      noScrollAction(QStringLiteral("noScrollAction"), this, kShortcut | Qt::Key_N),
      normalScrollAction(QStringLiteral("normalScrollAction"), this, kShortcut | Qt::Key_S),
      starWarsScrollAction(QStringLiteral("starWarsScrollAction"), this, kShortcut | Qt::Key_W),
      progressDnAction(QStringLiteral("progressDn"), this, kShortcut | Qt::Key_Minus),
      progressUpAction(QStringLiteral("progressUp"), this, kShortcut | Qt::Key_Plus),
      aboutAction(QStringLiteral("about"), this, kShortcut | Qt::Key_A),
      sleepInhibitor(QStringLiteral("Kerno# Tindal 2"),
                     tr("Mise à jour de l'enceinte Kerno# Tindal 2 : l'interrompre pourrait "
                        "l'empêcher de redémarrer")) {
    // Plus is a shifted key on most layouts: with Shift already held the system
    // reports its unshifted "=", so that sequence must work too.
    progressUpAction.action.setShortcuts(
        {progressUpAction.keySequence, QKeySequence(kShortcut | Qt::Key_Equal)});

    QNetworkProxyFactory::setUseSystemConfiguration(true);

    ui->setupUi(this);
    setWindowTitle(tr("Kerno# Tindal 2 - Mise à jour"));
    if (PlaceholderImage::matches(dfuData.data, dfuData.size))
        showDemonstrationNotice();

    stepTimerId = startTimer(kStepIntervalMs, Qt::CoarseTimer);

    ui->pWidgetStack->addWidget(&welcomePage);
    connect(&welcomePage, &PageWelcomeForm::goNext, this, &KernoTindalUpdateDlg::welcomeGoNext);
    ui->pWidgetStack->addWidget(&connectPage);
    ui->pWidgetStack->addWidget(&progressPage);
    ui->pWidgetStack->addWidget(&lastPercentPage);
    ui->pWidgetStack->addWidget(&donePage);
    ui->pWidgetStack->addWidget(&networkErrorPage);
    ui->pWidgetStack->addWidget(&failedPage);

    connect(&donePage, &PageDfuDoneForm::doQuit, this, &KernoTindalUpdateDlg::reject);

    if (!dfuData.writeToTempFile()) {
        dfuData.tempFile.remove(); // a full disk leaves part of it; exit() below skips its removal
        welcomePage.setFwName(QStringLiteral("Error"));
        ModalSeam::show(QMessageBox::Critical, this, tr("Problème d'espace disque"),
                        tr("Impossible d'écrire un fichier temporaire sur votre disque. "
                           "Peut-être faut-il faire un peu de place ?"),
                        QMessageBox::Ok, QMessageBox::NoButton);
        SupportLog::end(QStringLiteral("the firmware image could not be written"));
        std::exit(-1);
    }
    firmwarePath = dfuData.tempFileName();
    welcomePage.setFwName(dfuData.version);

    firmwareChoiceAction.connectTo(this, SLOT(choseFirmware()));
    showPageWelcomeAction1.connectTo(this, SLOT(directDispPageWelcome()));
    showPageWelcomeAction2.connectTo(this, SLOT(directDispPageWelcome()));
    showPageConnectAndDfuAction1.connectTo(this, SLOT(directDispPageConnectAndDfu()));
    showPageConnectAndDfuAction2.connectTo(this, SLOT(directDispPageConnectAndDfu()));
    showPageProgressAction1.connectTo(this, SLOT(directDispPageDfuProgress()));
    showPageProgressAction2.connectTo(this, SLOT(directDispPageDfuProgress()));
    showPageDfuLastPercentAction1.connectTo(this, SLOT(directDispPageDfuLastPercent()));
    showPageDfuLastPercentAction2.connectTo(this, SLOT(directDispPageDfuLastPercent()));
    showPageDfuDoneAction1.connectTo(this, SLOT(directDispPageDfuDone()));
    showPageDfuDoneAction2.connectTo(this, SLOT(directDispPageDfuDone()));
    showPageFailedAction1.connectTo(this, SLOT(directDispPageDfuFailed()));
    showPageFailedAction2.connectTo(this, SLOT(directDispPageDfuFailed()));
    noScrollAction.connectTo(&progressPage, SLOT(setNoScroll()));
    normalScrollAction.connectTo(&progressPage, SLOT(setNormalScroll()));
    starWarsScrollAction.connectTo(&progressPage, SLOT(setStarWarsScroll()));
    progressDnAction.connectTo(&progressPage, SLOT(progressDn()));
    progressUpAction.connectTo(&progressPage, SLOT(progressUp()));
    aboutAction.connectTo(this, SLOT(aboutActionTriggered()));

    connect(&timerBeforeReset, &QTimer::timeout, this,
            &KernoTindalUpdateDlg::hitTimeoutBeforeResetSlot);
    connect(&timerBeforeCheckStatus, &QTimer::timeout, this,
            &KernoTindalUpdateDlg::hitTimeoutBeforeCheckStatusSlot);
    connect(&timerUpgradedTooLong, &QTimer::timeout, this,
            &KernoTindalUpdateDlg::hitTimeoutUpgradedTooLong);
    for (QTimer* timer : {&timerBeforeReset, &timerBeforeCheckStatus, &timerUpgradedTooLong})
        timer->setSingleShot(true);
}

KernoTindalUpdateDlg::~KernoTindalUpdateDlg() {
    delete ui;
}

// --- Window -------------------------------------------------------------------

QMessageBox::StandardButton KernoTindalUpdateDlg::confirmQuit() {
    if (currentState == ID_RESETED)
        return QMessageBox::Ok;
    QMessageBox box(QMessageBox::Warning, tr("Fermeture de l'application"),
                    tr("Attention, vous êtes sur le point de fermer l'application.\n\n"
                       "Êtes vous certain de vraiment vouloir quitter ?\n\n"),
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Cancel);
    return static_cast<QMessageBox::StandardButton>(ModalSeam::exec(box));
}

void KernoTindalUpdateDlg::closeEvent(QCloseEvent* event) {
    if (confirmQuit() == QMessageBox::Ok)
        event->accept();
    else
        event->ignore();
}

void KernoTindalUpdateDlg::reject() {
    if (confirmQuit() == QMessageBox::Ok)
        QDialog::reject();
}

// From the upgrade's start until the reset has been checked, the speaker may hold half an
// image. The identifiers of CONNECTED, UPGRADING and UPGRADED are allocated in a row.
bool KernoTindalUpdateDlg::transferUnderWay() const {
    return currentState >= ID_CONNECTED_ENTER && currentState < ID_UPGRADED_EXIT;
}

int KernoTindalUpdateDlg::stopOnSignal(int number) {
    stopAsked = true;
    if (!transferUnderWay())
        return 0;
    UnifiedHidAPI::getInstance()->DisconnectDevice(); // cancels the transfer and waits for it
    const char* name = number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
    std::fprintf(stderr, "%s\n",
                 qUtf8Printable(tr("Mise à jour interrompue par %1 : l'enceinte n'est peut-être "
                                   "pas à jour, relancez la mise à jour.")
                                    .arg(QLatin1String(name))));
    std::fflush(stderr);
    SupportLog::outcome(QStringLiteral("interrupted by ") + QLatin1String(name));
    return kExitSignalBase + number;
}

void KernoTindalUpdateDlg::choseFirmware(bool) {
    choseFirmware();
}

void KernoTindalUpdateDlg::choseFirmware() {
    const QString chosen = ModalSeam::getOpenFileName(this, tr("Choix du Firmware"),
                                                      firmwareStartDirectory(),
                                                      tr("Firmware CSR (*.dfu)"));
    if (chosen.isNull())
        return;
    if (!ChosenFirmware::isAcceptable(chosen)) {
        ChosenFirmware::refuse(this, chosen);
        return;
    }
    firmwarePath = chosen;
}

void KernoTindalUpdateDlg::aboutActionTriggered() {
    const QString text = tr("<html><body>"
                            "<span align=\"center\">Application de mise à jour<br/>"
                            "de l'enceinte Bluetooth<br/>Kerno# Tindal 2</span>"
                            "<hr/>Conçue et fabriquée par Kerno#"
                            "<hr/>(build %1)"
                            "</body></html>")
                             .arg(buildStamp());
    ModalSeam::show(QMessageBox::Information, this, tr("Kerno# Tindal 2 - Mise à jour"), text,
                    QMessageBox::Ok, QMessageBox::NoButton);
}

void KernoTindalUpdateDlg::showDemonstrationNotice() {
    // No real firmware inside: whoever holds a real speaker must know before Ready.
    setWindowTitle(windowTitle() +
                   tr(" - version de démonstration, ne peut pas mettre à jour une vraie enceinte"));
}

// --- Pages --------------------------------------------------------------------

void KernoTindalUpdateDlg::showPage(StackPageWidget& page) {
    page.reset();
    ui->pWidgetStack->setCurrentWidget(&page);
    SupportLog::note(QStringLiteral("page ") + QLatin1String(page.metaObject()->className()));
    // Where a screen reader starts reading the new page; the old one's focus is gone with it.
    page.focusFirstControl();
}

void KernoTindalUpdateDlg::directDispPageWelcome() {
    showPageWelcome();
}

void KernoTindalUpdateDlg::directDispPageConnectAndDfu() {
    showPageConnectAndDfu();
}

void KernoTindalUpdateDlg::directDispPageDfuProgress() {
    showPageProgress();
}

void KernoTindalUpdateDlg::directDispPageDfuLastPercent() {
    showPageDfuLastPercent();
}

void KernoTindalUpdateDlg::directDispPageDfuDone() {
    showPageDfuDone();
}

void KernoTindalUpdateDlg::directDispPageDfuFailed() {
    showPageFailed();
}

// --- State machine ------------------------------------------------------------

void KernoTindalUpdateDlg::timerEvent(QTimerEvent* event) {
    if (event->timerId() == stepTimerId)
        stepStateMachine();
}

void KernoTindalUpdateDlg::requestState(qint32 state) {
    currentState = currentState + 1;
    nextState = state - 1;
}

void KernoTindalUpdateDlg::stepStateMachine() {
    struct State {
        qint32 enter, id, exit;
        void (KernoTindalUpdateDlg::*entry)();
        void (KernoTindalUpdateDlg::*tick)();
    };
    using D = KernoTindalUpdateDlg;
    // Visit order: every transition goes to a state later in this list, so a
    // request completes in the step that follows it.
    const State states[] = {
        {ID_WELCOME_INIT_ENTER, ID_WELCOME_INIT, ID_WELCOME_INIT_EXIT, &D::showPageWelcome, nullptr},
        {ID_NOT_CONNECTED_ENTER, ID_NOT_CONNECTED, ID_NOT_CONNECTED_EXIT,
         &D::showPageConnectAndDfu, &D::tryConnect},
        {ID_CONNECTED_ENTER, ID_CONNECTED, ID_CONNECTED_EXIT, &D::prepareUpgrade,
         &D::startUpgrade},
        {ID_UPGRADING_ENTER, ID_UPGRADING, ID_UPGRADING_EXIT, &D::showPageProgress,
         &D::pollProgress},
        {ID_UPGRADED_ENTER, ID_UPGRADED, ID_UPGRADED_EXIT, &D::startResetTimers, nullptr},
        {ID_NETWORK_ERROR_ENTER, ID_NETWORK_ERROR, ID_NETWORK_ERROR_EXIT, &D::showPageNetworkError,
         nullptr},
        {ID_DFU_ERROR_ENTER, ID_DFU_ERROR, ID_DFU_ERROR_EXIT, &D::enterDfuError, nullptr},
        {ID_RESETED_ENTER, ID_RESETED, ID_RESETED_EXIT, &D::enterDone, nullptr},
    };
    for (const State& state : states) {
        if (currentState == state.enter) {
            currentState = state.id;
            SupportLog::stateEntered(StateMachineEngine::stateName(state.id));
            (this->*state.entry)();
        } else if (currentState == state.id) {
            if (state.tick)
                (this->*state.tick)();
        } else if (currentState == state.exit) {
            currentState = nextState;
        }
    }
}

// The speaker is no longer written once disconnected or reset: the computer may sleep again.
void KernoTindalUpdateDlg::enterDfuError() {
    UnifiedHidAPI::getInstance()->DisconnectDevice();
    sleepInhibitor.release();
    showPageFailed();
    const auto* errorContext =
        failedPage.findChild<QPlainTextEdit*>(QStringLiteral("pErrorContext"));
    SupportLog::outcome(QStringLiteral("failure"), errorContext->toPlainText());
}

void KernoTindalUpdateDlg::enterDone() {
    sleepInhibitor.release();
    showPageDfuDone();
    SupportLog::outcome(QStringLiteral("done"));
}

void KernoTindalUpdateDlg::welcomeGoNext() {
    // The welcome page can come back through its shortcut later in the run.
    if (currentState != ID_WELCOME_INIT)
        return;
    requestState(ID_NOT_CONNECTED);
}

void KernoTindalUpdateDlg::tryConnect() {
    if (connectTickCounter != 3) {
        UnifiedHidAPI::getInstance();
        UnifiedHidAPI::releaseInstance();
        connectTickCounter += 1;
        return;
    }
    UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
    api->ConnectDevice(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID);
    if (!api->isInError())
        requestState(ID_CONNECTED);
    else if (api->devicesFound() >= 2)
        refuseSeveralSpeakers(api->devicesFound());
    connectTickCounter = 0;
}

// Which of several speakers would be written cannot be told, and waiting will not change it.
void KernoTindalUpdateDlg::refuseSeveralSpeakers(int found) {
    failedPage.appendErrorDesc(kSourceName, kLineSeveralSpeakers,
                               tr("%1 enceintes en mode mise à jour ont été trouvées. Ne "
                                  "branchez qu'une seule enceinte, puis relancez l'application.")
                                   .arg(found));
    requestState(ID_DFU_ERROR);
}

void KernoTindalUpdateDlg::prepareUpgrade() {
    showPageProgress();
    SupportLog::note(QStringLiteral("firmware file: ") + firmwarePath);
    if (refusePlaceholder()) {
        requestState(ID_DFU_ERROR);
        return;
    }
    sleepInhibitor.acquire();
}

// Once the lock is held or given up; never after a stop was asked, so that nothing is written.
void KernoTindalUpdateDlg::startUpgrade() {
    if (stopAsked || !sleepInhibitor.settled())
        return;
    UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
    const int status = api->Upgrade(firmwarePath, false);
    if (!api->isInError()) {
        requestState(ID_UPGRADING);
        return;
    }
    failedPage.appendErrorDesc(kSourceName, kLineUpgradeNotStarted,
                               QStringLiteral("Failed to start upgrade : ") +
                                   QString::number(status) + QStringLiteral(" (") +
                                   CHidDfuErrorMsg::codeToString(status) + QLatin1Char(')'));
    requestState(ID_DFU_ERROR);
}

// Any library but our virtual speaker may write the placeholder into a real speaker.
bool KernoTindalUpdateDlg::refusePlaceholder() {
    if (HidDfuLibrary::isVirtualSpeaker() || !PlaceholderImage::matchesFile(firmwarePath))
        return false;
    failedPage.appendErrorDesc(kSourceName, kLinePlaceholderRefused,
                               tr("L'image de démonstration ne peut pas être écrite dans une "
                                  "vraie enceinte : mise à jour refusée"));
    return true;
}

void KernoTindalUpdateDlg::pollProgress() {
    const quint8 p = UnifiedHidAPI::getInstance()->getProgress();
    if (p > 99) {
        progressPage.setProgress(100);
        requestState(ID_UPGRADED);
    } else if (p == 99 && ui->pWidgetStack->currentWidget() != &lastPercentPage) {
        progressPage.setProgress(99);
        showPageDfuLastPercent();
    } else {
        progressPage.setProgress(p);
    }
}

void KernoTindalUpdateDlg::startResetTimers() {
    timerBeforeReset.start(kBeforeResetMs);
    timerUpgradedTooLong.start(kUpgradedTooLongMs);
}

// The three timer slots count only in UPGRADED: a late one must not move the
// machine on from the state that an earlier one chose.
void KernoTindalUpdateDlg::hitTimeoutBeforeResetSlot() {
    if (currentState != ID_UPGRADED)
        return;
    UnifiedHidAPI::getInstance()->resetDevice();
    timerBeforeCheckStatus.start(kBeforeCheckStatusMs);
}

void KernoTindalUpdateDlg::hitTimeoutBeforeCheckStatusSlot() {
    if (currentState != ID_UPGRADED)
        return;
    timerUpgradedTooLong.stop();
    if (!UnifiedHidAPI::getInstance()->isInError()) {
        requestState(ID_RESETED);
        return;
    }
    failedPage.appendErrorDesc(kSourceName, kLineResetInError,
                               QStringLiteral("UHIDAPI is in error"));
    requestState(ID_DFU_ERROR);
}

void KernoTindalUpdateDlg::hitTimeoutUpgradedTooLong() {
    if (currentState != ID_UPGRADED)
        return;
    timerBeforeReset.stop();
    timerBeforeCheckStatus.stop();
    failedPage.appendErrorDesc(kSourceName, kLineUpgradedTooLong,
                               QStringLiteral("Upgrade done, but problem with reset or API"));
    requestState(ID_DFU_ERROR);
}
