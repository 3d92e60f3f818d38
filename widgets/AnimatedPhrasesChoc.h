#pragma once

#include "PhraseBand.h"

// Band of catch phrases in white that scrolls upwards, the text at the screen's pixel ratio.
class AnimatedPhrasesChoc : public PhraseBand {
public:
    explicit AnimatedPhrasesChoc(QWidget* parent = nullptr, Qt::WindowFlags f = Qt::WindowFlags());
    explicit AnimatedPhrasesChoc(const QString& text, QWidget* parent = nullptr,
                                 Qt::WindowFlags f = Qt::WindowFlags());

protected:
    void paintEvent(QPaintEvent* event) override;
};
