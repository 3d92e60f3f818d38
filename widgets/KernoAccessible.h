#pragma once

class QWidget;

// What the stock accessibility of Qt cannot tell about our widgets: the progress circle is a
// progress bar with a value, the command link a link, a page a panel. Idempotent; the widgets
// that need it call it before any screen reader can ask for them.
void installKernoAccessibility();

// Tells a screen reader that the circle now shows `value`.
void announceProgressValue(QWidget* circle, int value);
