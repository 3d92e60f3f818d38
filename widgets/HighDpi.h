#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>

class QLabel;
class QWidget;

// The fixed layout on screens of more than one pixel a point.
namespace HighDpi {

// Every picture is stored at 1x and, as "<path>@2x", at 2x: the rendering a device of this
// pixel ratio shows (2 above 1, where a 1x one would be blown up), 1 or 2.
int pictureRatio(qreal devicePixelRatio);
// Where the picture of that ratio (1 or 2) is stored; the 1x one when there is no other.
QString pathFor(const QString& path, int ratio);
// The picture for that ratio, marked with it so that it covers the same points as the 1x one.
QImage image(const QString& path, qreal devicePixelRatio);
QPixmap pixmap(const QString& path, qreal devicePixelRatio);

// Fonts in points grow with the screen's font resolution while the boxes do not: the widget
// and its children keep the pixel sizes the design has at 96 dpi, which a scaled screen
// scales with everything else.
void pinFontsToPixels(QWidget* widget);
// Shrinks the label's font until its text fits its box on one line.
void fitFontToBox(QLabel* label);

} // namespace HighDpi
