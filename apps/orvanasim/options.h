#pragma once
// The simulator's command line.

#include <cstdint>
#include <string>
#include <vector>

#include "apps/orvanasim/gnss_messages.h"
#include "apps/orvanasim/message_names.h"

namespace orvana::sim {

struct Faults {
    bool silent = false;          // answer nothing at all
    bool wrong_tag = false;       // answer tagged commands with another tag
    bool garbage = false;         // put junk bytes between messages
    long bad_checksum_every = 0;  // every Nth container has a wrong checksum
    long crc_error_block = -1;
    long number_error_block = -1;
    long upload_abort = 0;      // answer the first upload block with this byte (33 to 47)
    long disconnect_after = 0;  // after this many bytes sent: TCP hangs up, USB is pulled out
    uint32_t reply_delay_ms = 0;
};

struct Options {
    bool tcp = false;
    uint16_t port = 0;
    std::string address = "127.0.0.1";
    bool use_login = false;
    std::string password;
    std::string greeting = "Simulated GNSS receiver";  // TCP: sent on connect between line ends
    bool pty = false;
    std::string ports_dir;
    int com = 0;
    std::string term;  // empty: /dev/ser/a on a pty, /dev/tcp/<letter> per TCP connection
    std::string model = "SIM-GNSS-1";
    std::string rcvid = "SIM00000001";
    std::string version = "1.0.0";
    uint32_t speed = 115200;
    std::string modem;       // pty: "connect", "nocarrier" or "silent"; empty: no modem
    std::string usb_serial;  // non-empty: a USB device on an emulated bus, with this serial
    int usb_endpoints = 2;   // 1: its interface has a bulk IN endpoint only
    MessageNames messages = DefaultMessageNames();
    double time_scale = 1.0;
    bool flood = false;
    size_t payload_size = 0;
    bool stamp = false;  // the send time goes into each container
    // Every message numbered (tests count gaps), even those the simulator has a real form of.
    bool numbered = false;
    Station station;
    std::string files_dir;
    size_t max_reply = 240;
    std::string transcript;
    Faults faults;
};

// Parses argv; false with `error` set (the usage text is appended by the caller).
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

const char* UsageText();

}  // namespace orvana::sim
