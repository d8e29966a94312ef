// The command lines of the benchmarks: counts and sizes as typed, and one way of parsing.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
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

// Parses the command line. Nothing when the benchmark should run; else the exit status: 0 after
// --help, 2 after a usage error, said in one line "<name>: <why>".
inline std::optional<int> ParseOptions(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);
        }
        std::fprintf(stderr, "%s: %s\n", app.get_name().c_str(), e.what());
        return 2;
    }
    return std::nullopt;
}

}  // namespace romlift::bench
