// The failure type shared by every implementation of the platform layer.
#include "platform.h"

#include <utility>

namespace platform {

namespace {
std::int32_t AsFailureCode(std::int32_t code) { return IsFailureCode(code) ? code : kFailed; }
}  // namespace

Failure::Failure(std::int32_t code)
    : Failure(code, [failure = AsFailureCode(code)] { return SystemMessage(failure); }) {}

Failure::Failure(std::int32_t code, Describer describe)
    : code_(AsFailureCode(code)), describe_(std::move(describe)) {}

Text Failure::description() const {
    return describe_ ? describe_() : Text();
}

}  // namespace platform
