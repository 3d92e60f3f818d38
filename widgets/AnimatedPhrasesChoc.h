#pragma once

#include <QLabel>
#include <QStringList>

// Band of catch phrases that scrolls upwards. Until the scroller is built it
// keeps its phrases and shows its plain label.
class AnimatedPhrasesChoc : public QLabel {
public:
    explicit AnimatedPhrasesChoc(QWidget* parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedPhrasesChoc(const QString& text, QWidget* parent = nullptr,
                                 Qt::WindowFlags f = Qt::WindowFlags());

    void setPhrases(const QStringList& phrases);
    void start();
    void stop();

protected:
    QString text;
    int timerId = 0;
};
