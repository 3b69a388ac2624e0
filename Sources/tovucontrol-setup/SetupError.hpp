#pragma once

#include <stdexcept>

namespace tovu {

// A failure that ends the setup run; main prints what() after "✗ " and exits with status 1.
class SetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace tovu
