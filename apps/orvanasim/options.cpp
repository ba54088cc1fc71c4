#include "apps/orvanasim/options.h"

#include <cerrno>
#include <cstdlib>

namespace orvana::sim {
namespace {

bool ToLong(const std::string& text, long min, long max, long* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

const char* UsageText() {
    return "usage: orvanasim (--tcp PORT | --pty | --usb SERIAL) [options]\n"
           "transport:\n"
           "  --tcp PORT              listen on 127.0.0.1:PORT (0 = a free port); prints\n"
           "                          \"Listening on 127.0.0.1:PORT\"; up to 8 hosts at once\n"
           "  --address A             TCP: listen on loopback address A instead\n"
           "  --login PASSWORD        TCP: run the login exchange, expecting PASSWORD\n"
           "  --greeting TEXT         TCP: the line sent on connect (Simulated GNSS receiver)\n"
           "  --pty                   create a pseudo-terminal; prints \"Terminal PATH\"\n"
           "  --ports DIR --com N     with --pty: make DIR/COMN a link to the terminal\n"
           "  --speed BAUD            pty: the receiver's line speed at start (115200)\n"
           "  --modem ANSWER          pty: a Hayes modem first; a dial gets ANSWER: connect,\n"
           "                          nocarrier or silent\n"
           "  --usb SERIAL            a USB device with this serial number on an emulated bus\n"
           "                          (umockdev); prints \"USB testbed DIR\": a host finds it\n"
           "                          with UMOCKDEV_DIR=DIR and the umockdev preload library\n"
           "  --usb-endpoints N       USB: 2 (bulk IN and OUT) or 1 (bulk IN only)\n"
           "identity:\n"
           "  --term NAME             answer to print,/cur/term (default /dev/ser/a on a pty,\n"
           "                          /dev/tcp/a, /dev/tcp/b, ... per TCP connection)\n"
           "  --model TEXT  --rcvid TEXT  --version TEXT\n"
           "  --messages FILE         message names, \"group/NAME\" entries (jps cmr nmea rtcm)\n"
           "output:\n"
           "  --time-scale X          message periods run X times faster\n"
           "  --flood                 send containers as fast as the transport takes them;\n"
           "                          SIGUSR1 switches flooding on, SIGUSR2 off again\n"
           "  --payload-size N        pad container payloads to N bytes\n"
           "  --stamp                 put the send time (steady clock, microseconds) into\n"
           "                          each container, after the message name\n"
           "  --max-reply N           split replies with bodies longer than N (240)\n"
           "  --position LAT,LON,H    the antenna in degrees and metres (50.0875,14.4214,250)\n"
           "  --station-id N          the RTCM reference station id (1)\n"
           "  --numbered              numbered payloads for every message; without it\n"
           "                          rtcm/1005 1006 1033 1074 1084 1094 1124 are real RTCM 3\n"
           "                          frames and nmea/GGA and nmea/RMC real sentences\n"
           "files:\n"
           "  --files DIR             the receiver's /log/ folder (downloads and uploads)\n"
           "  --transcript FILE       append every line received to FILE\n"
           "faults:\n"
           "  --silent  --wrong-tag  --garbage  --bad-checksum-every N\n"
           "  --crc-error-block K  --number-error-block K  --disconnect-after BYTES\n"
           "  --upload-abort CODE (33 to 47)  --reply-delay MS\n"
           "  (--disconnect-after: TCP drops the connection, USB pulls the device out)\n";
}

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto number = [&](long min, long max, long* out) {
            std::string text;
            if (!value(&text)) return false;
            if (!ToLong(text, min, max, out)) {
                *error = a + ": \"" + text + "\" is not a number from " + std::to_string(min) +
                         " to " + std::to_string(max);
                return false;
            }
            return true;
        };
        long n = 0;
        std::string text;
        if (a == "--tcp") {
            if (!number(0, 65535, &n)) return false;
            o->tcp = true;
            o->port = static_cast<uint16_t>(n);
        } else if (a == "--modem") {
            if (!value(&o->modem)) return false;
            if (o->modem != "connect" && o->modem != "nocarrier" && o->modem != "silent") {
                *error = "--modem is connect, nocarrier or silent";
                return false;
            }
        } else if (a == "--usb") {
            if (!value(&o->usb_serial)) return false;
            if (o->usb_serial.empty() || o->usb_serial.size() > 60) {
                *error = "--usb needs a serial number of 1 to 60 characters";
                return false;
            }
        } else if (a == "--usb-endpoints") {
            if (!number(1, 2, &n)) return false;
            o->usb_endpoints = static_cast<int>(n);
        } else if (a == "--address") {
            if (!value(&o->address)) return false;
        } else if (a == "--login") {
            if (!value(&o->password)) return false;
            o->use_login = true;
        } else if (a == "--greeting") {
            if (!value(&o->greeting)) return false;
        } else if (a == "--pty") {
            o->pty = true;
        } else if (a == "--ports") {
            if (!value(&o->ports_dir)) return false;
        } else if (a == "--com") {
            if (!number(1, 255, &n)) return false;
            o->com = static_cast<int>(n);
        } else if (a == "--speed") {
            if (!number(1, 4000000, &n)) return false;
            o->speed = static_cast<uint32_t>(n);
        } else if (a == "--term") {
            if (!value(&o->term)) return false;
        } else if (a == "--model") {
            if (!value(&o->model)) return false;
        } else if (a == "--rcvid") {
            if (!value(&o->rcvid)) return false;
        } else if (a == "--version") {
            if (!value(&o->version)) return false;
        } else if (a == "--messages") {
            if (!value(&text) || !LoadMessageNames(text, &o->messages, error)) return false;
        } else if (a == "--time-scale") {
            if (!value(&text)) return false;
            char* end = nullptr;
            o->time_scale = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !(o->time_scale > 0) || o->time_scale > 1e6) {
                *error = "--time-scale: \"" + text + "\" is not a positive number";
                return false;
            }
        } else if (a == "--flood") {
            o->flood = true;
        } else if (a == "--stamp") {
            o->stamp = true;
        } else if (a == "--payload-size") {
            if (!number(0, 4000, &n)) return false;
            o->payload_size = static_cast<size_t>(n);
        } else if (a == "--numbered") {
            o->numbered = true;
        } else if (a == "--position") {
            if (!value(&text)) return false;
            if (!ParseStationPosition(text, &o->station)) {
                *error = "--position: \"" + text + "\" is not LAT,LON,HEIGHT";
                return false;
            }
        } else if (a == "--station-id") {
            if (!number(0, 4095, &n)) return false;
            o->station.id = static_cast<unsigned>(n);
        } else if (a == "--max-reply") {
            if (!number(8, 4095, &n)) return false;
            o->max_reply = static_cast<size_t>(n);
        } else if (a == "--files") {
            if (!value(&o->files_dir)) return false;
        } else if (a == "--transcript") {
            if (!value(&o->transcript)) return false;
        } else if (a == "--silent") {
            o->faults.silent = true;
        } else if (a == "--wrong-tag") {
            o->faults.wrong_tag = true;
        } else if (a == "--garbage") {
            o->faults.garbage = true;
        } else if (a == "--bad-checksum-every") {
            if (!number(1, 1000000000, &o->faults.bad_checksum_every)) return false;
        } else if (a == "--crc-error-block") {
            if (!number(0, 65535, &o->faults.crc_error_block)) return false;
        } else if (a == "--number-error-block") {
            if (!number(0, 65535, &o->faults.number_error_block)) return false;
        } else if (a == "--upload-abort") {
            if (!number(33, 47, &o->faults.upload_abort)) return false;
        } else if (a == "--disconnect-after") {
            if (!number(1, 2000000000, &o->faults.disconnect_after)) return false;
        } else if (a == "--reply-delay") {
            if (!number(0, 600000, &n)) return false;
            o->faults.reply_delay_ms = static_cast<uint32_t>(n);
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    o->station.receiver = o->model;
    o->station.firmware = o->version;
    o->station.serial = o->rcvid;
    if (int{o->tcp} + int{o->pty} + int{!o->usb_serial.empty()} != 1) {
        *error = "give exactly one of --tcp PORT, --pty and --usb SERIAL";
        return false;
    }
    if (o->use_login && !o->tcp) {
        *error = "--login needs --tcp";
        return false;
    }
    if ((o->ports_dir.empty()) != (o->com == 0)) {
        *error = "--ports and --com go together";
        return false;
    }
    if (!o->ports_dir.empty() && !o->pty) {
        *error = "--ports needs --pty";
        return false;
    }
    return true;
}

}  // namespace orvana::sim
