#pragma once

#include "DfuV027_20170313.h"
#include "PageConnectAndDfuForm.h"
#include "PageDfuDoneForm.h"
#include "PageDfuFailedForm.h"
#include "PageDfuLastPercentForm.h"
#include "PageDfuProgressForm.h"
#include "PageNetworkErrorForm.h"
#include "PageWelcomeForm.h"
#include "ShortcutAction.h"
#include "SleepInhibitor.h"
#include "SupportLog.h"

#include <QDialog>
#include <QMessageBox>
#include <QTimer>

namespace Ui {
class KernoTindalUpdateDlg;
}

// Paces connection attempts: one ConnectDevice every fourth tick, the first at once.
extern int connectTickCounter;

// The updater's one window: the page stack and the 20 ms update state machine.
class KernoTindalUpdateDlg : public QDialog {
    Q_OBJECT
    friend class KernoTindalUpdateDlgTest;

public:
    explicit KernoTindalUpdateDlg(QWidget* parent = nullptr);
    ~KernoTindalUpdateDlg() override;

    // For SIGINT, SIGTERM or SIGHUP: stops a transfer under way and returns the status the
    // process should end with, 0 when there was none. Asks nothing: no one may be there.
    int stopOnSignal(int number);

public slots:
    void reject() override;

protected slots:
    void choseFirmware(bool);
    void choseFirmware();
    void welcomeGoNext();
    void hitTimeoutBeforeResetSlot();
    void hitTimeoutBeforeCheckStatusSlot();
    void hitTimeoutUpgradedTooLong();

private slots:
    void directDispPageWelcome();
    void directDispPageConnectAndDfu();
    void directDispPageDfuProgress();
    void directDispPageDfuLastPercent();
    void directDispPageDfuDone();
    void directDispPageDfuFailed();
    void aboutActionTriggered();

protected:
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QMessageBox::StandardButton confirmQuit();
    bool transferUnderWay() const;

    void stepStateMachine();
    void requestState(qint32 state);
    void tryConnect();
    void refuseSeveralSpeakers(int found);
    void prepareUpgrade();
    void startUpgrade();
    bool refusePlaceholder();
    void pollProgress();
    void startResetTimers();
    void enterDfuError();
    void enterDone();
    void showDemonstrationNotice();

    void showPage(StackPageWidget& page);
    void showPageWelcome() { showPage(welcomePage); }
    void showPageConnectAndDfu() { showPage(connectPage); }
    void showPageProgress() { showPage(progressPage); }
    void showPageDfuLastPercent() { showPage(lastPercentPage); }
    void showPageDfuDone() { showPage(donePage); }
    void showPageNetworkError() { showPage(networkErrorPage); }
    void showPageFailed() { showPage(failedPage); }

    Ui::KernoTindalUpdateDlg* ui;

    PageWelcomeForm welcomePage;
    PageConnectAndDfuForm connectPage;
    PageDfuProgressForm progressPage;
    PageDfuLastPercentForm lastPercentPage;
    PageDfuDoneForm donePage;
    PageNetworkErrorForm networkErrorPage;
    PageDfuFailedForm failedPage;

    qint32 ID_WELCOME_INIT_ENTER, ID_WELCOME_INIT, ID_WELCOME_INIT_EXIT;
    qint32 ID_NOT_CONNECTED_ENTER, ID_NOT_CONNECTED, ID_NOT_CONNECTED_EXIT;
    qint32 ID_CONNECTED_ENTER, ID_CONNECTED, ID_CONNECTED_EXIT;
    qint32 ID_UPGRADING_ENTER, ID_UPGRADING, ID_UPGRADING_EXIT;
    qint32 ID_UPGRADED_ENTER, ID_UPGRADED, ID_UPGRADED_EXIT;
    qint32 ID_RESETED_ENTER, ID_RESETED, ID_RESETED_EXIT;
    qint32 ID_NETWORK_ERROR_ENTER, ID_NETWORK_ERROR, ID_NETWORK_ERROR_EXIT;
    qint32 ID_DFU_ERROR_ENTER, ID_DFU_ERROR, ID_DFU_ERROR_EXIT;
    qint32 currentState = 0;
    qint32 nextState = 0;
    bool stopAsked = false;

    int stepTimerId = 0;
    QString firmwarePath;
    DfuV027_20170313 dfuData;

    ShortcutAction firmwareChoiceAction;
    ShortcutAction showPageWelcomeAction1;
    ShortcutAction showPageWelcomeAction2;
    ShortcutAction showPageConnectAndDfuAction1;
    ShortcutAction showPageConnectAndDfuAction2;
    ShortcutAction showPageProgressAction1;
    ShortcutAction showPageProgressAction2;
    ShortcutAction showPageDfuLastPercentAction1;
    ShortcutAction showPageDfuLastPercentAction2;
    ShortcutAction showPageDfuDoneAction1;
    ShortcutAction showPageDfuDoneAction2;
    ShortcutAction showPageFailedAction1;
    ShortcutAction showPageFailedAction2;
    ShortcutAction noScrollAction;
    ShortcutAction normalScrollAction;
    ShortcutAction starWarsScrollAction;
    ShortcutAction progressDnAction;
    ShortcutAction progressUpAction;
    ShortcutAction aboutAction;

    QTimer timerBeforeReset;
    QTimer timerBeforeCheckStatus;
    QTimer timerUpgradedTooLong;

    SleepInhibitor sleepInhibitor;
};
