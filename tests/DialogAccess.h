#pragma once

// Reaches into the dialog for tests: its state, its step and its pages.
#include "CircularProgressWidget.h"
#include "KernoTindalUpdateDlg.h"

#include <QPlainTextEdit>
#include <QStackedWidget>

class KernoTindalUpdateDlgTest {
public:
    explicit KernoTindalUpdateDlgTest(KernoTindalUpdateDlg& dialog) : d(dialog) {}

    // Tests step the machine themselves.
    void stopStepTimer() {
        d.killTimer(d.stepTimerId);
        d.stepTimerId = -1;
    }
    void step(int count = 1) {
        for (int i = 0; i < count; ++i)
            d.stepStateMachine();
    }
    qint32& currentState() { return d.currentState; }
    QString& firmwarePath() { return d.firmwarePath; }
    const DfuV027_20170313& dfuData() { return d.dfuData; }
    QWidget* currentPage() { return stack()->currentWidget(); }
    QStackedWidget* stack() { return d.findChild<QStackedWidget*>("pWidgetStack"); }
    int progressValue() {
        return d.progressPage.findChild<CircularProgressWidget*>("pCircularProgress")->value();
    }
    QString errorContext();

    void welcomeGoNext() { d.welcomeGoNext(); }
    void hitTimeoutBeforeReset() { d.hitTimeoutBeforeResetSlot(); }
    void hitTimeoutBeforeCheckStatus() { d.hitTimeoutBeforeCheckStatusSlot(); }
    void hitTimeoutUpgradedTooLong() { d.hitTimeoutUpgradedTooLong(); }
    QTimer& timerBeforeReset() { return d.timerBeforeReset; }
    QTimer& timerBeforeCheckStatus() { return d.timerBeforeCheckStatus; }
    QTimer& timerUpgradedTooLong() { return d.timerUpgradedTooLong; }

    KernoTindalUpdateDlg& d;
#define STATE(name) qint32 name() const { return d.ID_##name; }
    STATE(WELCOME_INIT_ENTER) STATE(WELCOME_INIT) STATE(NOT_CONNECTED) STATE(NOT_CONNECTED_EXIT)
    STATE(CONNECTED_EXIT) STATE(UPGRADING) STATE(UPGRADING_EXIT) STATE(UPGRADED)
    STATE(UPGRADED_EXIT) STATE(RESETED) STATE(DFU_ERROR) STATE(DFU_ERROR_EXIT)
    STATE(NETWORK_ERROR_ENTER) STATE(NETWORK_ERROR)
#undef STATE
    QList<qint32> allIds() const;
    QWidget* welcomePage() { return &d.welcomePage; }
    QWidget* connectPage() { return &d.connectPage; }
    QWidget* progressPage() { return &d.progressPage; }
    QWidget* lastPercentPage() { return &d.lastPercentPage; }
    QWidget* donePage() { return &d.donePage; }
    QWidget* networkErrorPage() { return &d.networkErrorPage; }
    QWidget* failedPage() { return &d.failedPage; }
};

inline QString KernoTindalUpdateDlgTest::errorContext() {
    return d.failedPage.findChild<QPlainTextEdit*>("pErrorContext")->toPlainText();
}

inline QList<qint32> KernoTindalUpdateDlgTest::allIds() const {
    return {d.ID_WELCOME_INIT_ENTER,  d.ID_WELCOME_INIT,     d.ID_WELCOME_INIT_EXIT,
            d.ID_NOT_CONNECTED_ENTER, d.ID_NOT_CONNECTED,    d.ID_NOT_CONNECTED_EXIT,
            d.ID_CONNECTED_ENTER,     d.ID_CONNECTED,        d.ID_CONNECTED_EXIT,
            d.ID_UPGRADING_ENTER,     d.ID_UPGRADING,        d.ID_UPGRADING_EXIT,
            d.ID_UPGRADED_ENTER,      d.ID_UPGRADED,         d.ID_UPGRADED_EXIT,
            d.ID_RESETED_ENTER,       d.ID_RESETED,          d.ID_RESETED_EXIT,
            d.ID_NETWORK_ERROR_ENTER, d.ID_NETWORK_ERROR,    d.ID_NETWORK_ERROR_EXIT,
            d.ID_DFU_ERROR_ENTER,     d.ID_DFU_ERROR,        d.ID_DFU_ERROR_EXIT};
}
