// Checks of the engines' settings that more than one engine shares, each
// with one message.
#pragma once

namespace orvelta {

// Throws std::invalid_argument "tol must be a positive finite number, got X"
// unless 0 < tol < infinity.
void require_tol(double tol);

}  // namespace orvelta
