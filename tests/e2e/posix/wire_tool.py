"""A minimal installation tool over the wire, for the shell end-to-end tests:
select, ask, upload in CRC-checked blocks, drain the error queue."""
import socket

_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ 0x8408 if _c & 1 else _c >> 1
    _TABLE.append(_c)


def crc(data):
    c = 0xFFFF
    for b in data:
        c = (c >> 8) ^ _TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFF


class Tool:
    def __init__(self, host="127.0.0.1", port=13217, timeout=10):
        self.s = socket.create_connection((host, port), timeout=timeout)
        self.f = self.s.makefile("rb")

    def send(self, line):
        self.s.sendall(line + b"\n")

    def ask(self, line):
        self.send(line)
        return self.f.readline().decode(errors="replace").rstrip("\n")

    def select(self, device=b"1234.5678.02"):
        self.send(b"DIAG:PROD:SEL '" + device + b"'")

    def errors(self):
        """Every queued error, oldest first, up to the "No error" answer."""
        found = []
        for _ in range(64):
            got = self.ask(b"SYST:ERR?")
            if got.startswith("0,"):
                return found
            found.append(got)
        return found

    def transfer(self, kind, data, chunk=65536):
        self.send(b"DIAG:UPD:TRAN:OPEN " + kind)
        for at in range(0, len(data), chunk):
            piece = data[at:at + chunk]
            count = str(len(piece)).encode()
            self.s.sendall(b"DIAG:UPD:TRAN:DATA %d,%d,#%d%s%s\n"
                           % (at, crc(piece), len(count), count, piece))
        self.send(b"DIAG:UPD:TRAN:CLOSE")

    def close(self):
        self.s.close()
