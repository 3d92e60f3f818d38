#pragma once

// What the updater sets up around its QApplication, shared with the tests so that they see
// the window as users do.
namespace Startup {

// Before the QApplication: the window follows the screen's scale (two pixels a point on a
// 4K laptop) and pictures come at the screen's pixel ratio.
void enableHighDpi();
// After it, before any window: Qt's own words (standard buttons, the file chooser) in
// French whatever the system's locale, as every other text of the window. False, with a
// line on standard error, when Qt's French catalogue is not installed.
bool speakFrench();

} // namespace Startup
