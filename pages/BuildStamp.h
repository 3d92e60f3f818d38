#pragma once

#include <QString>

// "Apr 18 2017 - 11:01:50": the compiler's date and time of this build.
QString buildStamp();
