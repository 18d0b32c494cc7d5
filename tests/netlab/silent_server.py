#!/usr/bin/env python3
"""A computer that looks like an installation server to discovery and then
falls silent: it answers the discovery query and the start request, takes
TCP connections on the data port and answers the catalogue, but never
"*IDN?" or anything else. Runs until killed."""
import socket
import threading

MAGIC = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
PORT = 13217


def control():
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    udp.bind(("0.0.0.0", PORT))
    while True:
        data, sender = udp.recvfrom(2048)
        if data.startswith(MAGIC + b"QUERY ID EqNumber="):
            number = data[len(MAGIC) + 18:len(MAGIC) + 30]
            udp.sendto(MAGIC + b"ID: Installation Server V2.35.2," + number + b" 000001\0", sender)
        elif data == MAGIC + b"START DATA CHANNEL":
            udp.sendto(MAGIC + b"LISTENING ON PORT %d\0" % PORT, sender)


def session(connection):
    pending = b""
    with connection:
        while True:
            data = connection.recv(4096)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                if line.strip() == b"DIAG:PROD:CAT?":
                    connection.sendall(b'"__TRL_Tool__"\n')


def main():
    threading.Thread(target=control, daemon=True).start()
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind(("0.0.0.0", PORT))
    tcp.listen(16)
    print("listening", flush=True)
    while True:
        connection, _ = tcp.accept()
        threading.Thread(target=session, args=(connection,), daemon=True).start()


main()
