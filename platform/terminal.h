#pragma once
// The program's terminal: whether output goes to a person (progress bars) or into a pipe or
// file, and questions to that person.

#include <optional>
#include <string>

namespace orvana::platform {

bool StdoutIsTerminal();

// Asks on the controlling terminal with echo off and reads one line (without its line end).
// nullopt when standard input is not a terminal.
std::optional<std::string> AskSecretOnTerminal(const std::string& prompt);

// The value of an environment variable, nullopt when it is not set.
std::optional<std::string> EnvironmentValue(const char* name);

}  // namespace orvana::platform
