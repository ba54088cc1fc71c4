#pragma once
// A TCP receiver whose interface has USEFTP set gives its log files through its own FTP server:
// the server logs in, listens for the receiver's data connection and pipes what comes to the
// client as "IN:" data messages.

namespace orvana {

class ClientSession;
struct TransferSession;

// The dialogue and the data connection, on the client's thread. False with the client's reply
// set.
bool StartFtpDownload(TransferSession& s, ClientSession& client);
// The session's thread: the data connection to the client until it ends.
void FtpPipeThread(TransferSession& s);

}  // namespace orvana
