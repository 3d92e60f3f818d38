#pragma once

#include <QLabel>
#include <QStringList>

// Perspective crawl of the catch phrases with its theme tune. Until the crawl
// is built it keeps its phrases and shows its plain label.
class AnimatedPhrasesChoc_SW : public QLabel {
public:
    explicit AnimatedPhrasesChoc_SW(QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedPhrasesChoc_SW(const QString& text, QWidget* parent = nullptr,
                                    Qt::WindowFlags f = Qt::WindowFlags());

    void setPhrases(const QStringList& phrases);
    void start();
    void stop();

protected:
    QString text;
    int timerId = 0;
};
