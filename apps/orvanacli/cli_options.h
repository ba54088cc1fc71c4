#pragma once
// The command line of orvanacli: connection options, the verb, its words and its options.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvana::cli {

struct CliOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string user;
    std::string password;
    bool password_given = false;  // on the command line, which other users can see in ps
    bool encipher = false;
    uint32_t timeout_ms = 80000;  // a Command may take the server's 75 s
    bool json = false;            // every line printed is a JSON object

    std::string verb;
    std::vector<std::string> words;  // the verb's own arguments
    // Options after the verb; which verb takes which is checked against the verb table.
    bool lock = false;
    std::optional<double> seconds;
    std::optional<std::string> out;  // --out or -o
    std::optional<std::string> as;   // upload: the name on the server
    std::optional<uint64_t> offset;
    std::optional<unsigned> handle;
};

// Parses everything after the program name. nullopt with `error` set on bad input.
std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& args,
                                           std::string* error);

// One line of the shell: a verb with its words and options, quoted as in a shell ('...' or
// "..." with \" and \\). The connection's options come from `session`. nullopt with `error`
// empty for a blank line or a comment ("#..."), with `error` set on bad input.
std::optional<CliOptions> ParseShellLine(const std::string& line, const CliOptions& session,
                                         std::string* error);

// Joins words with single blanks (texts given as several shell words).
std::string JoinWords(const std::vector<std::string>& words, size_t from);

}  // namespace orvana::cli
