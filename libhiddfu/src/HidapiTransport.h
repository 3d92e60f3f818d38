#pragma once

#include "Transport.h"

#include <memory>

namespace hiddfu {

// The real speaker through hidapi (hidraw backend on Linux).
std::unique_ptr<Transport> makeHidapiTransport();

} // namespace hiddfu
