// A count or size typed on a benchmark's command line.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace romlift::bench {

// Decimal digits only: CLI11 alone reads 010 as octal 8, and the benchmark would measure another
// size than the one typed.
inline CLI::Validator Decimal() {
    return CLI::Validator(
        [](const std::string& v) {
            const bool digits =
                !v.empty() && v.find_first_not_of("0123456789") == std::string::npos;
            return digits && (v.size() == 1 || v[0] != '0')
                       ? std::string()
                       : "'" + v + "' is not a whole number in decimal";
        },
        "");
}

}  // namespace romlift::bench
