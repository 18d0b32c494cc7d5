#!/usr/bin/env python3
"""A hostile installation server: it answers discovery and identifies itself
like a real one, but every text it reports (identity, model, device
version, VORN id, host name, service version) is a Jinja expression that,
if a template engine evaluated it, would create a file named after the
field in MARKER_DIR. Runs until killed: template_server.py MARKER_DIR"""
import socket
import sys
import threading

MAGIC = b"16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN "
PORT = 13217
MARKERS = sys.argv[1]


# No commas: the fields are read up to the next comma.
def payload(field):
    return ("{{ lookup(*'pipe;touch %s/%s'.split(';')) }}" % (MARKERS, field)).encode()


def control():
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    udp.bind(("0.0.0.0", PORT))
    while True:
        data, sender = udp.recvfrom(2048)
        if data.startswith(MAGIC + b"QUERY ID EqNumber="):
            number = data[len(MAGIC) + 18:len(MAGIC) + 30]
            udp.sendto(MAGIC + b"ID: " + payload("identity") + b"," + number + b" 100042\0", sender)
        elif data == MAGIC + b"START DATA CHANNEL":
            udp.sendto(MAGIC + b"LISTENING ON PORT %d\0" % PORT, sender)


def answer(line, selected):
    """The answer to one program message (None: no answer) and the selection."""
    header = line.split(b" ", 1)[0].upper()
    tool = selected == b"__TRL_Tool__"
    if header == b"DIAG:PROD:SEL":
        return None, line.split(b" ", 1)[1].strip(b" '\"")
    answers = {
        b"DIAG:PROD:CAT?": b'"1234.5678.02","__TRL_Tool__"',
        b"SYST:ERR?": b'0,"No error"',
        b"*IDN?": (b"Marrow&Keplin,VORN,__TRL_Tool__/000000," + payload("server_version") if tool
                   else b"Marrow&Keplin," + payload("model") + b",1234.5678.02/100042,1.20"),
        b"DIAG:PROD:ID?": (b"M&K,__TRL_Tool__/000000,2.35.2" if tool
                           else b"M&K,1234.5678.02/100042," + payload("device_version")),
        b"DIAG:UPD:TRAN:VERS?": b"210,135",
        b"DIAG:PROD:MAC?": b"00:11:22:33:44:55",
        b"DIAG:VORN:ID?": b'"' + payload("vorn_id") + b'"',
        b"DIAG:VORN:HOST?": b'"' + payload("host_name") + b'"',
    }
    return answers.get(header), selected


def session(connection):
    pending = b""
    selected = b""
    with connection:
        while True:
            data = connection.recv(4096)
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                reply, selected = answer(line.strip(), selected)
                if reply is not None:
                    connection.sendall(reply + b"\n")


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
