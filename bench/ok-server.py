#!/usr/bin/env python3
# A stand-in listener for the benchmarks: on 127.0.0.1 at the port given,
# it answers every line "OK" and closes, one connection at a time.
#
#   python3 bench/ok-server.py PORT
import socket
import sys

s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', int(sys.argv[1])))
s.listen(1)
while True:
    c, _ = s.accept()
    data = b''
    while not data.endswith(b'\n'):
        chunk = c.recv(1024)
        if not chunk:
            break
        data += chunk
    c.sendall(b'OK\n')
    c.close()
