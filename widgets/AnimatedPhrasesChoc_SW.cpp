#include "AnimatedPhrasesChoc_SW.h"

AnimatedPhrasesChoc_SW::AnimatedPhrasesChoc_SW(QWidget* parent, Qt::WindowFlags f)
    : QLabel(parent, f) {}

AnimatedPhrasesChoc_SW::AnimatedPhrasesChoc_SW(const QString& label, QWidget* parent,
                                               Qt::WindowFlags f)
    : QLabel(label, parent, f) {}

void AnimatedPhrasesChoc_SW::setPhrases(const QStringList& phrases) {
    text = phrases.join(QLatin1Char('\n'));
    update();
}

void AnimatedPhrasesChoc_SW::start() {}

void AnimatedPhrasesChoc_SW::stop() {}
