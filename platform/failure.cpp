// The failure type shared by every implementation of the platform layer.
#include "platform.h"

#include <utility>

namespace platform {

Failure::Failure(std::int32_t code)
    : Failure(code, [code] { return SystemMessage(code); }) {}

Failure::Failure(std::int32_t code, Describer describe)
    : code_(code), describe_(std::move(describe)) {}

Text Failure::description() const {
    return describe_ ? describe_() : Text();
}

}  // namespace platform
