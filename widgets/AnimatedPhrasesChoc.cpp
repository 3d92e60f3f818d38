#include "AnimatedPhrasesChoc.h"

AnimatedPhrasesChoc::AnimatedPhrasesChoc(QWidget* parent, Qt::WindowFlags f) : QLabel(parent, f) {}

AnimatedPhrasesChoc::AnimatedPhrasesChoc(const QString& label, QWidget* parent, Qt::WindowFlags f)
    : QLabel(label, parent, f) {}

void AnimatedPhrasesChoc::setPhrases(const QStringList& phrases) {
    text = phrases.join(QStringLiteral("\n\n\n\n"));
    update();
}

void AnimatedPhrasesChoc::start() {}

void AnimatedPhrasesChoc::stop() {}
