#pragma once

#include "Transport.h"

#include <memory>

namespace hiddfu {

// Real speakers through hidapi (hidraw backend on Linux).
std::unique_ptr<Bus> makeHidapiBus();

} // namespace hiddfu
