#pragma once

#include "StackPageWidget.h"

class Tune;

namespace Ui {
class PageDfuProgressForm;
}

class PageDfuProgressForm : public StackPageWidget {
    Q_OBJECT
public:
    explicit PageDfuProgressForm(QWidget* parent);
    ~PageDfuProgressForm() override;

public slots:
    void reset() override;
    void setProgress(int val);
    void setNoScroll();
    void setNormalScroll();
    void setStarWarsScroll();
    void progressDn();
    void progressUp();

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    void stopPhraseTimer();
    void showPhrases(QWidget* shown);

    Ui::PageDfuProgressForm* ui;
    Tune* tune;
    int phraseIndex = 0;
    int phraseTimerId = 0;
};
