#pragma once
// The verbs of orvanacli: one per request of the server, each with its words and options.

#include <cstddef>
#include <string>

#include "apps/orvanacli/cli_context.h"

namespace orvana::cli {

namespace verb_option {
inline constexpr unsigned kLock = 1;
inline constexpr unsigned kSeconds = 2;
inline constexpr unsigned kOut = 4;
inline constexpr unsigned kOffset = 8;
inline constexpr unsigned kHandle = 16;
inline constexpr unsigned kAs = 32;
}  // namespace verb_option

inline constexpr size_t kAnyCount = static_cast<size_t>(-1);

struct Verb {
    const char* name;
    size_t min_words;
    size_t max_words;  // kAnyCount: the rest of the words form one text
    unsigned options;  // verb_option bits accepted
    const char* usage;
    const char* what;  // one line for --help
    int (*run)(Cli& cli);
};

const Verb* FindVerb(const std::string& name);
// Checks the words and options given against the verb; an error text, or empty.
std::string CheckVerbUse(const Verb& verb, const CliOptions& options);
std::string UsageText();

// "0".."4" or a group name ("jps", "cmr", "nmea", "rtcm", with "all" = 4 when `allow_all`);
// -1 when it is neither.
int GroupCode(std::string text, bool allow_all);

// The verbs that follow a transfer or a data stream (streams.cpp).
int RunAttach(Cli& cli);
int RunDownload(Cli& cli);
int RunUpload(Cli& cli);
int RunFirmware(Cli& cli);
int RunCancel(Cli& cli);
int RunDetect(Cli& cli);
// The verbs that keep the connection (shell.cpp, status.cpp).
int RunShell(Cli& cli);
int RunStatus(Cli& cli);

// Uploads a local file into the user's folder on the server (LoadFile pieces) as `name`; the
// last reply. nullopt after a reported failure, with `status` set.
std::optional<ServerFrame> UploadFile(Cli& cli, const std::string& path, const std::string& name,
                                      int* status);

}  // namespace orvana::cli
