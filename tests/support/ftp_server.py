#!/usr/bin/python3
# A receiver's FTP server for the transfer tests: one virtual user "Any" whose home is FOLDER,
# on ADDRESS:21. Active mode to any address (the server under test names its own). Prints
# "ready" once listening; logs every command on stderr.
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

address, folder, password = sys.argv[1], sys.argv[2], sys.argv[3]
logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
authorizer = DummyAuthorizer()
authorizer.add_user("Any", password, folder, perm="elr")
handler = FTPHandler
handler.authorizer = authorizer
handler.permit_foreign_addresses = True
server = FTPServer((address, 21), handler)
print("ready", flush=True)
server.serve_forever(timeout=0.5)
