// The one way the C++ tests read an error message, so that every test
// compares the exact text the caller would see.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace vorn::test {

/// Message of the std::runtime_error that f throws, or "" when it returns.
inline std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace vorn::test
