#pragma once
// Everything orvanacli prints besides the data itself: replies, notices, progress and
// complaints, as text for people or as one JSON object a line for scripts (--json).

#include <cstdio>
#include <string>
#include <string_view>

#include "core/request_client.h"

namespace orvana::cli {

inline constexpr int kExitOk = 0;       // the reply began with "RE"
inline constexpr int kExitRefused = 1;  // it did not
inline constexpr int kExitFailure = 2;  // bad arguments, connection lost, no reply

// Where replies, notices and progress go: standard output, or standard error while the data
// itself goes to standard output ("--out -").
std::FILE* Reports();
void ReportOnStderr();
void ReportInJson();
bool InJson();

// `text` as a JSON string. Bytes that are no printable ASCII become \u00XX (receivers send
// Latin-1 and binary), so the result is valid whatever came.
std::string JsonQuoted(std::string_view text);
// Prints one line on Reports(): `json` when --json is on, else `plain`.
void Report(const std::string& plain, const std::string& json);

// Prints the reply as the server sent it; kExitOk when it began with "RE".
int PrintReply(const ServerFrame& reply);
// A frame no request asked for: a notice, a chat line, a receiver's state.
void PrintEvent(const ServerFrame& f);
// A data frame that has no file to go to: its type and length.
void PrintDataFrame(const ServerFrame& f);
// One line "orvanacli: TEXT" on stderr; kExitFailure.
int Complain(const std::string& text);

}  // namespace orvana::cli
