"""The peer server of the benchmark: pyftpdlib (Debian's python3-pyftpdlib) serving ROOT on a
loopback port of its own choosing, with sendfile for downloads as it ships, and passive ports from
FIRST to LAST as the other peers have. Prints "pyftpd: listening on port N" on standard error once
it accepts connections. With a certificate and its key, it serves explicit FTPS only (TLS_FTPHandler,
which takes Debian's python3-openssl), TLS required on the control and the data connections.

usage: python3 pyftpd.py ROOT USER PASSWORD [FIRST:LAST [CERTFILE KEYFILE]]
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1:4]
    logging.basicConfig(level=logging.ERROR)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmw")
    handler = FTPHandler
    if len(sys.argv) > 6:
        from pyftpdlib.handlers import TLS_FTPHandler

        handler = TLS_FTPHandler
        handler.certfile, handler.keyfile = sys.argv[5:7]
        handler.tls_control_required = handler.tls_data_required = True
    handler.authorizer = authorizer
    # Without a range each PASV binds to port 0, and the kernel's search for a free port walks
    # past every port in TIME_WAIT: after a few runs that search alone can take seconds.
    if len(sys.argv) > 4:
        first, last = map(int, sys.argv[4].split(":"))
        handler.passive_ports = range(first, last + 1)
    # The 500-client run starts every client at once: room for all of them, as the other server has.
    server = FTPServer(("127.0.0.1", 0), handler, backlog=1024)
    server.max_cons = 2048
    server.max_cons_per_ip = 0
    print("pyftpd: listening on port %d" % server.address[1], file=sys.stderr, flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
