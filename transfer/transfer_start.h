#pragma once
// What the download and the upload share around their start: finding the client's receiver,
// marking the receiver and the attachment as busy with the transfer, starting its thread.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace orvana {

class Server;
class ClientSession;
class Receiver;
struct Attachment;
struct TransferSession;

struct TransferTarget {
    std::shared_ptr<ClientSession> client;
    std::shared_ptr<Attachment> attachment;
    std::shared_ptr<Receiver> receiver;
};

// The receiver the session holds at `handle`. False with the reply set when there is none, or
// when that attachment already runs a transfer.
bool FindTransferTarget(Server& server, ClientSession& s, uint8_t handle, TransferTarget* target);

// A gate's transfer runs on the other server: the request goes on whole, and the frames that
// server sends for it come back to this client on this handle. The other server's outcome.
unsigned PassOnTransfer(const TransferTarget& target, ClientSession& s);

// Marks the transfer (the attachment; the receiver's transfer flag, for a download unless it is
// TCP; its locked flag for an upload) and starts its thread with `body`. False with `reply` set
// when the attachment was closed meanwhile or the thread could not start; the caller then ends the
// session (EndTransfer), which takes the marks back and gives the receiver its output again.
bool LaunchTransfer(const std::shared_ptr<TransferSession>& s,
                    std::function<void(TransferSession&)> body, bool upload, std::string* reply);

// The file name part of a path from the client's machine (either separator), up to its first
// blank.
std::string_view BareFileName(std::string_view path);

// A file name that may travel in a receiver command or name a file of a user's folder: not
// empty, no control characters and none of the characters that carry command or path syntax.
bool IsPlainFileName(std::string_view name);

}  // namespace orvana
