#pragma once
// The caster's sourcetable: one STR record per mountpoint and the closing line, as rovers and
// NTRIP software read it.

#include <string>

#include "ntrip/caster_config.h"

namespace orvana::ntrip {

// "STR;mount;identifier;format;format-details;carrier;nav-system;network;country;lat;lon;nmea;
// solution;generator;compression;authentication;fee;bitrate;misc"
std::string StrRecord(const MountpointConfig& m, const std::string& generator);

// Every record, each ended by CR LF, then "ENDSOURCETABLE" and CR LF.
std::string SourcetableText(const CasterConfig& c);

}  // namespace orvana::ntrip
