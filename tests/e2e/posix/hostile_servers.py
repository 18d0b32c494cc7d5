#!/usr/bin/env python3
"""vornctl, the relay, the server's scan, discovery and the Ansible
collection's client against servers that misbehave.

Each row of CASES is one scripted server (how it answers which query) and one
run of a tool against it. The rows of NETWORK_CASES need a network with
broadcasts: the test's own namespace (run-isolated.sh) is joined by a veth
pair to a namespace of its own ("far", 198.51.100.2) where the hostile
servers answer discovery and connections; a real vornsvc runs in the test's
namespace (198.51.100.1) for the relay and the scan. Whatever the server does, the tool must end within
its time-out with its documented exit code, name the server in its error,
quote at most a few hundred bytes of the server's text with control
characters escaped, keep its --json output valid UTF-8 JSON, and stay small.
"""

import concurrent.futures
import ctypes
import functools
import importlib.util
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

BIN = os.environ['VORN_BIN']
SRC = os.environ['VORN_SRC']
VORNCTL = os.path.join(BIN, 'tools', 'vornctl', 'vornctl')
VORNPKG = os.path.join(BIN, 'tools', 'vornpkg', 'vornpkg')

SILENT = object()    # never answers, keeps the connection
CLOSE = object()     # closes the connection at once
ENDLESS = object()   # 64 KiB blocks without a line feed, until the tool hangs up

ESCAPES = b'\x1b[2J\x1b]0;owned\x07\xc2\x9b31m'
ANSI = b'Spektralanalysator f\xfcr Gr\xf6\xdfen'

WELL_BEHAVED = {
    b'*IDN?': b'Maker,Model,1234.5678K02/100042,2.35\n',
    b'DIAG:PROD:ID?': b'1234.5678.02,1234.5678K02/100042,2.35\n',
    b'DIAG:UPD:TRAN:VERS?': b'210,100\n',
    b'DIAG:PROD:MAC?': b'00:11:22:33:44:55\n',
    b'DIAG:VORN:ID?': b'"{00000000-0000-0000-0000-000000000001}"\n',
    b'DIAG:VORN:HOST?': b'"lab-pc"\n',
    b'DIAG:PROD:CAT?': b'"1234.5678.02"\n',
    b'DIAG:PROD:SEL?': b'"1234.5678.02"\n',
    b'SYST:ERR?': b'0,"No error"\n',
    b'DIAG:UPD:PROG?': [b'100,SUCC,""\n'],
    b'DIAG:VORN:SCAN?': b'"{00000000-0000-0000-0000-000000000002}"\n',
    b'DIAG:VORN:CONN?': b'0\n',
}


class ScriptedServer(object):
    """A TCP server on loopback that answers each query from a table: bytes,
    a list of bytes taken in turn (the last one repeats), or SILENT, CLOSE,
    ENDLESS. Binary blocks of a transfer are skipped by their length."""

    def __init__(self, answers, lab=None):
        self.answers = dict(WELL_BEHAVED)
        self.answers.update(answers)

        def listen():
            listener = socket.socket()
            listener.bind((FAR_ADDRESS if lab else '127.0.0.1', 0))
            listener.listen(8)
            return listener
        self.listener = lab.inside(listen) if lab else listen()
        self.port = self.listener.getsockname()[1]
        self.stop = threading.Event()
        threading.Thread(target=self.accept, daemon=True).start()

    def close(self):
        self.stop.set()
        self.listener.close()

    def accept(self):
        while not self.stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()

    def answer(self, header):
        answer = self.answers.get(header, b'')
        if isinstance(answer, list):
            return answer.pop(0) if len(answer) > 1 else answer[0]
        return answer

    def serve(self, conn):
        buffer = b''
        conn.settimeout(30)
        try:
            while not self.stop.is_set():
                line_end = buffer.find(b'\n')
                block = re.match(rb'DIAG:UPD:TRAN:DATA [0-9]+,[0-9]+,#([1-9])', buffer)
                if block:
                    digits = int(block.group(1))
                    start = block.end()
                    if len(buffer) >= start + digits:
                        length = int(buffer[start:start + digits])
                        end = start + digits + length + 1
                        if len(buffer) >= end:
                            buffer = buffer[end:]
                            continue
                    line_end = -1
                if line_end < 0:
                    data = conn.recv(65536)
                    if not data:
                        return
                    buffer += data
                    continue
                line, buffer = buffer[:line_end], buffer[line_end + 1:]
                header = line.split(b' ')[0]
                if not header.endswith(b'?'):
                    continue
                answer = self.answer(header)
                if answer is SILENT:
                    self.stop.wait(60)
                    return
                if answer is CLOSE:
                    return
                if answer is ENDLESS:
                    chunk = b'A' * 65536
                    deadline = time.time() + 30
                    while time.time() < deadline:
                        conn.sendall(chunk)
                    return
                conn.sendall(answer)
        except OSError:
            pass
        finally:
            conn.close()


FAR_ADDRESS = '198.51.100.2'
NEAR_ADDRESS = '198.51.100.1'
DISCOVERY_PORT = 13217
CLONE_NEWNET = 0x40000000
QUERY = b'16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN QUERY ID'
ID = b'16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN ID:'
START = b'16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN START DATA CHANNEL'
LISTENING = b'16EC5C81EFCF44E1B6113D344AC9209F M&K TRLN LISTENING ON PORT'
FAR_ID = '{00000000-0000-0000-0000-000000000001}'


class Lab(object):
    """The far namespace and the veth pair to it; everything goes again in
    close(), also after a failure."""

    def __init__(self):
        self.name = 'vorn-hostile-%d' % os.getpid()
        self.link = 'vh%d' % (os.getpid() % 100000)
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.made = False
        subprocess.run(['ip', 'netns', 'add', self.name], check=True)
        self.made = True
        for command in (['ip', 'link', 'add', self.link, 'type', 'veth', 'peer', 'name', 'eth0',
                         'netns', self.name],
                        ['ip', 'addr', 'add', NEAR_ADDRESS + '/24', 'dev', self.link],
                        ['ip', 'link', 'set', self.link, 'up'],
                        ['ip', '-n', self.name, 'addr', 'add', FAR_ADDRESS + '/24', 'dev', 'eth0'],
                        ['ip', '-n', self.name, 'link', 'set', 'eth0', 'up'],
                        ['ip', '-n', self.name, 'link', 'set', 'lo', 'up']):
            subprocess.run(command, check=True)

    def inside(self, make):
        """make() run with this thread in the far namespace: the sockets it
        creates stay there."""
        with open('/proc/self/ns/net') as own, open('/run/netns/' + self.name) as far:
            if self.libc.setns(far.fileno(), CLONE_NEWNET) != 0:
                raise OSError(ctypes.get_errno(), 'setns')
            try:
                return make()
            finally:
                if self.libc.setns(own.fileno(), CLONE_NEWNET) != 0:
                    os._exit(3)

    def close(self):
        if self.made:
            subprocess.run(['ip', 'link', 'del', self.link], stderr=subprocess.DEVNULL)
            subprocess.run(['ip', 'netns', 'del', self.name], stderr=subprocess.DEVNULL)
            self.made = False


def good_discovery(port):
    """What a well-behaved server answers: its identity to a query, its data
    port to the start request."""
    def answer(datagram):
        if datagram.startswith(QUERY):
            return [ID + b' Installation Server V2.35.2,__TRL_Tool__ 100042']
        if datagram.startswith(START):
            return [LISTENING + b' %d' % port]
        return []
    return answer


class DiscoveryResponder(object):
    """Answers discovery datagrams in the far namespace: answer(datagram) gives
    the datagrams to send back, or FLOOD to send one datagram over and over
    for up to 20 s."""

    def __init__(self, lab, answer):
        self.answer = answer

        def bind():
            udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            udp.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            udp.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
            udp.bind(('0.0.0.0', DISCOVERY_PORT))
            return udp
        self.udp = lab.inside(bind)
        self.udp.settimeout(0.2)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def close(self):
        self.stop.set()
        self.thread.join(25)
        self.udp.close()

    def serve(self):
        while not self.stop.is_set():
            try:
                datagram, sender = self.udp.recvfrom(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            for reply in self.answer(datagram):
                if isinstance(reply, tuple) and reply[0] is ENDLESS:
                    threading.Thread(target=self.flood, args=(reply[1], sender), daemon=True).start()
                    continue
                try:
                    self.udp.sendto(reply, sender)
                except OSError:
                    pass

    def flood(self, make, to):
        deadline = time.time() + 20
        n = 0
        while time.time() < deadline and not self.stop.is_set():
            try:
                self.udp.sendto(make(n), to)
            except OSError:
                time.sleep(0.001)
            n += 1


def hostile_discovery(*replies, port=None):
    """Replies to a query (and to the start request, when port is given, the
    right port after them)."""
    def answer(datagram):
        if datagram.startswith(QUERY):
            return list(replies) + ([ID + b' Installation Server V2.35.2,__TRL_Tool__ 1']
                                    if port else [])
        if datagram.startswith(START):
            return list(replies) + ([LISTENING + b' %d' % port] if port else [])
        return []
    return answer


def load_collection_client():
    path = os.path.join(SRC, 'contrib', 'ansible', 'plugins', 'module_utils', 'vornctl.py')
    spec = importlib.util.spec_from_file_location('vornctl_client', path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def make_package(work):
    data = os.path.join(work, 'tool.bin')
    with open(data, 'wb') as out:
        out.write(b'x' * 5000)
    subprocess.run([VORNPKG, 'create', '--name', 'Tool', '--file', 'tool.bin', '--type', 'exe',
                    data + '.mki'], check=True, stdout=subprocess.DEVNULL)
    return [data + '.mki', data]


# name, answers, vornctl arguments after the subcommand's HOST ('-' for the
# package), exit code, seconds allowed, what the output must hold
CASES = [
    ('identify, silent server', {b'DIAG:PROD:CAT?': SILENT},
     ['identify', 'HOST'], 8, 10, None),
    ('identify, closes in the middle of an answer', {b'SYST:ERR?': CLOSE,
                                                     b'DIAG:PROD:CAT?': b'"1234.56'},
     ['identify', 'HOST'], 8, 10, None),
    ('identify, escapes and ANSI text', {b'DIAG:PROD:ID?': b'1,2/3,' + ANSI + b'\n',
                                         b'DIAG:VORN:HOST?': b'"' + ESCAPES + b'"\n',
                                         b'*IDN?': b'M,' + ESCAPES + b',x\n'},
     ['identify', 'HOST'], 0, 10, 'Spektralanalysator f\u00fcr Gr\u00f6\u00dfen'),
    ('identify --json, escapes and ANSI text', {b'DIAG:PROD:ID?': b'1,2/3,' + ANSI + b'\n',
                                                b'DIAG:VORN:HOST?': b'"' + ESCAPES + b'\xff"\n'},
     ['identify', 'HOST', '--json'], 0, 10,
     {'deviceVersion': 'Spektralanalysator f\u00fcr Gr\u00f6\u00dfen'}),
    ('identify, no line feed ever', {b'SYST:ERR?': ENDLESS},
     ['identify', 'HOST'], 5, 10, None),
    ('identify, identity numbers out of range',
     {b'DIAG:UPD:TRAN:VERS?': b'99999999999999999999999,-99999999999999999\n',
      b'DIAG:PROD:ID?': b'1,2/99999999999999999999999999,3\n'},
     ['identify', 'HOST', '--json'], 0, 10, None),
    ('devices, no line feed ever', {b'DIAG:PROD:CAT?': ENDLESS},
     ['devices', 'HOST'], 5, 10, None),
    ('devices --json, ANSI device names', {b'DIAG:PROD:CAT?': b'"' + ANSI + b'","\x1b[2J"\n'},
     ['devices', 'HOST', '--json'], 0, 10, ['Spektralanalysator f\u00fcr Gr\u00f6\u00dfen', '\x1b[2J']),
    ('errors, no line feed ever', {b'SYST:ERR?': ENDLESS},
     ['errors', 'HOST'], 5, 10, None),
    ('errors, entries with escapes', {b'SYST:ERR?': [b'-200,"' + ESCAPES + b'"\n', b'0,"No error"\n']},
     ['errors', 'HOST'], 0, 10, None),
    ('send, a block longer than announced', {b'*IDN?': b'#15' + b'B' * 20000 + b'\n'},
     ['send', 'HOST', '*IDN?'], 0, 10, None),
    ('send, silent server', {b'*IDN?': SILENT},
     ['send', 'HOST', '*IDN?'], 8, 10, None),
    ('install, percent above 100 in TRAN', {b'DIAG:UPD:PROG?': [b'104,TRAN,"Binary"\n',
                                                               b'100,SUCC,""\n']},
     ['install', 'HOST', '--device', '1234.5678.02', '-'], 0, 20, None),
    ('install, percent below 0 in TRAN', {b'DIAG:UPD:PROG?': [b'-4,TRAN,"Binary"\n',
                                                             b'100,SUCC,""\n']},
     ['install', 'HOST', '--device', '1234.5678.02', '-'], 0, 20, None),
    ('install --json, German installer error in ANSI',
     {b'DIAG:UPD:PROG?': [b'100,ERR,"Zugriff verweigert f\xfcr ' + ESCAPES + b'"\n']},
     ['install', 'HOST', '--device', '1234.5678.02', '--json', '-'], 6, 20,
     # Not UTF-8 as a whole, so all of it is read in the ANSI code page.
     {'text': (b'Zugriff verweigert f\xfcr ' + ESCAPES).decode('cp1252')}),
    ('install, error queue without line feed', {b'SYST:ERR?': [b'0,"No error"\n', ENDLESS]},
     ['install', 'HOST', '--device', '1234.5678.02', '-'], 5, 20, None),
    ('install, server stops answering mid-installation',
     {b'DIAG:UPD:PROG?': [b'50,INST,"' + ESCAPES + b'"\n', SILENT]},
     ['install', 'HOST', '--device', '1234.5678.02', '--timeout', '5', '-'], 8, 25, None),
    ('reboot, failure text with escapes', {b'DIAG:UPD:PROG?': [b'100,ERR,"' + ESCAPES * 100 + b'"\n']},
     ['reboot', 'HOST', '--device', '1234.5678.02'], 5, 10, None),
    ('scan, identifiers with escapes', {b'DIAG:VORN:SCAN?': b'"' + ESCAPES + b'","' + ANSI + b'"\n'},
     ['scan', 'HOST'], 0, 45, None),
    ('scan --json, ANSI identifiers', {b'DIAG:VORN:SCAN?': b'"' + ANSI + b'"\n'},
     ['scan', 'HOST', '--json'], 0, 45, [{'vornId': 'Spektralanalysator f\u00fcr Gr\u00f6\u00dfen'}]),
    ('scan, closes in the middle of the answer', {b'DIAG:VORN:SCAN?': CLOSE},
     ['scan', 'HOST'], 8, 45, None),
    ('relay refusal without line feed', {b'DIAG:VORN:CONN?': ENDLESS},
     ['identify', '--via', 'HOST', '--to', '{x}'], 5, 40, None),
]

# The most of a server's text one line may quote: the quoted part and
# vornctl's own words around it; send shows a whole answer up to 2 KiB.
MOST_LINE_BYTES = 600
MOST_SEND_BYTES = 2048 + 100
MOST_RSS_KIB = 64 * 1024


def check_text(name, stream, text, limit):
    problems = []
    try:
        decoded = text.decode('utf-8')
    except UnicodeDecodeError:
        return ['%s: %s is not UTF-8' % (name, stream)]
    control = re.search('[\x00-\x08\x0b-\x1f\x7f-\x9f]', decoded)
    if control:
        problems.append('%s: %s holds control characters: %r' %
                        (name, stream, decoded[max(0, control.start() - 150):control.start() + 50]))
    longest = max(len(line) for line in text.split(b'\n'))
    if longest > limit:
        problems.append('%s: a line of %d bytes on %s' % (name, longest, stream))
    return problems


def run_case(case, package):
    name, answers, argv, want_rc, seconds, want = case
    server = ScriptedServer(answers)
    host = '127.0.0.1:%d' % server.port
    args = []
    for arg in argv:
        args += package if arg == '-' else [host if arg == 'HOST' else arg]
    start = time.monotonic()
    try:
        proc = subprocess.run([VORNCTL] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=seconds + 30)
    except subprocess.TimeoutExpired:
        server.close()
        return ['%s: still running after %d s' % (name, seconds + 30)]
    elapsed = time.monotonic() - start
    server.close()
    problems = []
    if proc.returncode != want_rc:
        problems.append('%s: exit code %d, not %d; stderr: %r' %
                        (name, proc.returncode, want_rc, proc.stderr[:300]))
    if elapsed > seconds:
        problems.append('%s: took %.1f s, more than %d s' % (name, elapsed, seconds))
    # install and reboot report a server's failure as their result line.
    if proc.stderr and proc.returncode not in (0, 1) and host.encode() not in proc.stderr:
        problems.append('%s: the error does not name the server: %r' % (name, proc.stderr[:300]))
    json_output = '--json' in argv
    limit = MOST_SEND_BYTES if argv[0] == 'send' else MOST_LINE_BYTES
    if json_output:
        try:
            data = json.loads(proc.stdout.decode('utf-8'))
        except ValueError as error:
            problems.append('%s: --json output unreadable (%s): %r' % (name, error, proc.stdout[:200]))
            data = None
        if isinstance(want, dict) and isinstance(data, dict):
            for key, value in want.items():
                if data.get(key) != value:
                    problems.append('%s: %s is %r, not %r' % (name, key, data.get(key), value))
        elif (isinstance(want, list) and want and isinstance(want[0], dict)
              and isinstance(data, list) and len(data) == len(want)):
            for got, wanted in zip(data, want):
                for key, value in wanted.items():
                    if not isinstance(got, dict) or got.get(key) != value:
                        problems.append('%s: %s is %r, not %r' % (name, key, got, value))
        elif want is not None and data != want:
            problems.append('%s: output %r, not %r' % (name, data, want))
    else:
        problems += check_text(name, 'stdout', proc.stdout, limit)
        if isinstance(want, str) and want not in proc.stdout.decode('utf-8', 'replace'):
            problems.append('%s: %r not in the output %r' % (name, want, proc.stdout[:300]))
    problems += check_text(name, 'stderr', proc.stderr, MOST_LINE_BYTES)
    return problems


# Hostile discovery answers, for vornctl discover and the server's scan. With
# good=True the far server also answers properly after the junk, and must be
# found; else nothing is found (exit 1), or at most one row where a row says
# so (one sender names one data port, however many it claims).
DISCOVERY_ANSWERS = [
    ('huge datagrams', [ID + b' ' + b'H' * 60000, LISTENING + b' ' + b'7' * 60000]),
    ('truncated datagrams', [ID[:20], LISTENING[:30], b'']),
    ('malformed ports', [LISTENING + b' 99999', LISTENING + b' -1', LISTENING + b' 0',
                         LISTENING + b' 4294967297', LISTENING + b'x']),
    ('escapes and bytes not UTF-8', [ID + b' ' + ESCAPES + ANSI + b'\xff,__TRL_Tool__ \x1b[2J' + ANSI]),
    ('an endless flood of one answer',
     [(ENDLESS, lambda n: ID + b' Installation Server V2.35.2,__TRL_Tool__ 1')]),
    ('an endless flood of ever new answers',
     [(ENDLESS, lambda n: ID + b' Flood %d,__TRL_Tool__ %d' % (n, n))]),
    ('an endless flood of ports', [(ENDLESS, lambda n: LISTENING + b' %d' % (1 + n % 65535))], 1),
]

# What the far server does wrong in the relay: (name, answers, vornctl's
# exit code: 3 when the relaying server could not open the relay, 8 when it
# closed the connection). The scan before it must find the server; its link answers the
# relay request and whatever comes after through the relay as told.
RELAY_CASES = [
    ('relay request never answered', {b'DIAG:VORN:CONN?': SILENT}, 3),
    # The relaying server gives up on a peer that never ends its answer and
    # closes the tool's connection: 8.
    ('relay request answered endlessly', {b'DIAG:VORN:CONN?': ENDLESS}, 8),
    ('relay closed in the middle of the answer', {b'DIAG:VORN:CONN?': CLOSE}, 3),
    ('relay refusal with escapes', {b'DIAG:VORN:CONN?': b'"' + ESCAPES * 50 + ANSI + b'"\n'}, 3),
    ('relay refusal out of range', {b'DIAG:VORN:CONN?': b'99999999999999999999999\n'}, 3),
    ('relay refusal as a block longer than announced',
     {b'DIAG:VORN:CONN?': b'#15' + b'B' * 20000 + b'\n'}, 3),
    # The scan and the link ask for the catalogue first; the tool's is the third.
    ('relayed catalogue without line feed',
     {b'DIAG:PROD:CAT?': [b'"1234.5678.02"\n', b'"1234.5678.02"\n', ENDLESS]}, 8),
    ('relayed identity with escapes', {b'DIAG:VORN:HOST?': b'"' + ESCAPES + ANSI + b'"\n',
                                       b'DIAG:PROD:ID?': b'1,2/99999999999999999999,' + ANSI + b'\n'}, 0),
]

# What the far server answers the scan's identification with.
SCAN_CASES = [
    ('id never answered', {b'DIAG:VORN:ID?': SILENT}),
    ('id without line feed', {b'DIAG:VORN:ID?': ENDLESS}),
    ('id closed in the middle', {b'DIAG:VORN:ID?': b'"{00000000-00'}),
    ('id with an injected answer line', {b'DIAG:VORN:ID?': b'"' + FAR_ID.encode() + b'"\r0,"No error"\n'}),
    ('id with escapes', {b'DIAG:VORN:ID?': b'"{' + ESCAPES + ANSI + b'}"\n'}),
    ('id as a block longer than announced', {b'DIAG:VORN:ID?': b'#15' + b'B' * 20000 + b'\n'}),
    ('catalogue without line feed', {b'DIAG:PROD:CAT?': ENDLESS}),
    # Held at the largest version, not wrapped to one from before VORN ids:
    # its proper id is taken, not a hardware address in its place.
    ('protocol version out of range', {b'DIAG:UPD:TRAN:VERS?': b'99999999999999999999,-9\n'},
     [FAR_ID]),
]

MOST_SERVICE_RSS_KIB = 64 * 1024


@functools.lru_cache(maxsize=None)
def instrumented():
    """A sanitizer build: its shadow memory counts in the resident size."""
    with open(os.path.join(BIN, 'vornsvc'), 'rb') as f:
        return re.search(rb'AddressSanitizer|ThreadSanitizer', f.read()) is not None


def rss_allowance():
    return 4 if instrumented() else 1


class Service(object):
    """A real vornsvc in the test's namespace, its log in a file."""

    def __init__(self, work):
        self.log_path = os.path.join(work, 'service.log')
        registry = os.path.join(work, 'registry.reg')
        with open(os.path.join(SRC, 'config', 'default-registry.reg'), 'rb') as f:
            text = f.read()
        text += ('\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Marrow&Keplin\\Trellane]\n'
                 '"SoftwareInstallationPath"="%s"\n"RebootCommand"="true"\n'
                 % os.path.join(work, 'transfer')).encode()
        with open(registry, 'wb') as f:
            f.write(text)
        self.log = open(self.log_path, 'wb')
        self.proc = subprocess.Popen([os.path.join(BIN, 'vornsvc'), '--registry', registry],
                                     stdout=subprocess.DEVNULL, stderr=self.log)
        deadline = time.time() + 20
        while b'Server is listening for DeviceGroup' not in self.text():
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError('vornsvc did not start: %r' % self.text()[-500:])
            time.sleep(0.05)

    def text(self):
        with open(self.log_path, 'rb') as f:
            return f.read()

    def peak_kib(self):
        with open('/proc/%d/status' % self.proc.pid) as f:
            for line in f:
                if line.startswith('VmHWM:'):
                    return int(line.split()[1])
        return 0

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def run_vornctl(name, args, seconds):
    start = time.monotonic()
    try:
        proc = subprocess.run([VORNCTL] + args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=seconds + 30)
    except subprocess.TimeoutExpired:
        return None, ['%s: still running after %d s' % (name, seconds + 30)]
    problems = []
    if time.monotonic() - start > seconds:
        problems.append('%s: took %.1f s, more than %d s' % (name, time.monotonic() - start, seconds))
    return proc, problems


def check_run(name, proc, want_rc, server, json_output):
    problems = []
    if proc.returncode != want_rc:
        problems.append('%s: exit code %d, not %d; stdout %r stderr: %r' %
                        (name, proc.returncode, want_rc, proc.stdout[:300], proc.stderr[:300]))
    if proc.stderr and proc.returncode not in (0, 1) and server.encode() not in proc.stderr:
        problems.append('%s: the error does not name the server: %r' % (name, proc.stderr[:300]))
    if json_output:
        try:
            json.loads(proc.stdout.decode('utf-8'))
        except ValueError as error:
            problems.append('%s: --json output unreadable (%s): %r' % (name, error, proc.stdout[:200]))
    else:
        problems += check_text(name, 'stdout', proc.stdout, MOST_LINE_BYTES)
    problems += check_text(name, 'stderr', proc.stderr, MOST_LINE_BYTES)
    return problems


def discovery_case(lab, answer, good, json_output):
    label, replies = answer[:2]
    most_rows = answer[2] if len(answer) > 2 else 0
    name = 'discover, %s%s%s' % (label, ', with a good server' if good else '',
                                  ' --json' if json_output else '')
    server = ScriptedServer({}, lab) if good else None
    responder = DiscoveryResponder(lab, hostile_discovery(*replies, port=server.port if good else None))
    try:
        proc, problems = run_vornctl(name, ['discover', '--timeout', '1000'] +
                                     (['--json'] if json_output else []), 8)
    finally:
        responder.close()
        if server:
            server.close()
    if proc is None:
        return problems
    problems += check_run(name, proc, 0 if good or most_rows else 1, FAR_ADDRESS, json_output)
    found = ('%s:%d' % (FAR_ADDRESS, server.port)).encode() if good else None
    if found and not json_output and found not in proc.stdout:
        problems.append('%s: the good server is missing: %r' % (name, proc.stdout[:300]))
    rows = proc.stdout.count(FAR_ADDRESS.encode())
    if rows > most_rows + (1 if good else 0):
        problems.append('%s: %d rows from junk: %r' % (name, rows, proc.stdout[:300]))
    return problems


def scan(lab, server, name):
    """The service's scan, through vornctl; the table of VORN ids it found."""
    proc, problems = run_vornctl(name, ['scan', '127.0.0.1', '--timeout', '1000', '--json'], 30)
    if proc is None:
        return None, problems
    problems += check_run(name, proc, proc.returncode if proc.returncode in (0, 1) else 0,
                          '127.0.0.1', True)
    try:
        ids = [row.get('vornId') for row in json.loads(proc.stdout.decode('utf-8'))]
    except (ValueError, AttributeError):
        ids = None
    return ids, problems


def check_service(name, service, mark, problems):
    """The service lives, its log since mark is clean, it stayed small; on
    any problem the log's end is shown."""
    if service.proc.poll() is not None:
        problems.append('%s: vornsvc ended with %d' % (name, service.proc.returncode))
    else:
        problems += check_text(name, 'the service log', service.text()[mark:], MOST_LINE_BYTES)
        peak = service.peak_kib()
        if peak > MOST_SERVICE_RSS_KIB * rss_allowance():
            problems.append('%s: vornsvc grew to %d KiB' % (name, peak))
    if problems:
        lines = service.text()[mark:].splitlines()[-12:]
        print('--- %s: the service log\n%s' % (name, b'\n'.join(lines).decode('utf-8', 'replace')),
              file=sys.stderr)
    return problems


def scan_case(lab, service, label, answers, want_ids=(), discovery=None):
    name = 'scan, ' + label
    mark = len(service.text())
    server = ScriptedServer(answers, lab)
    responder = DiscoveryResponder(lab, hostile_discovery(*discovery) if discovery
                                   else good_discovery(server.port))
    try:
        ids, problems = scan(lab, server, name)
    finally:
        responder.close()
        server.close()
    if ids is not None and [i.strip('"') for i in ids] != list(want_ids):
        problems.append('%s: the scan found %r, not %r' % (name, ids, list(want_ids)))
    if discovery is None and FAR_ADDRESS.encode() not in service.text()[mark:]:
        problems.append('%s: the log does not name the server: %r' % (name, service.text()[mark:][-300:]))
    return check_service(name, service, mark, problems)


def relay_case(lab, service, label, answers, want_rc):
    name = 'relay, ' + label
    mark = len(service.text())
    # The scan and the link both identify the server; only the relay request
    # and what follows it misbehave.
    server = ScriptedServer(answers, lab)
    responder = DiscoveryResponder(lab, good_discovery(server.port))
    try:
        ids, problems = scan(lab, server, name + ' (its scan)')
        if ids != ['"%s"' % FAR_ID] and ids != [FAR_ID]:
            return problems + ['%s: the scan found %r, not the far server' % (name, ids)]
        proc, found = run_vornctl(name, ['identify', '--via', '127.0.0.1', '--to', FAR_ID], 40)
        problems += found
        if proc is not None:
            problems += check_run(name, proc, want_rc, '127.0.0.1', False)
    finally:
        responder.close()
        server.close()
    return check_service(name, service, mark, problems)


def network_cases(only):
    """The rows that need the far namespace; skipped (with a line saying so)
    outside a namespace of the test's own."""
    if not os.environ.get('VORN_ISOLATED') or os.geteuid() != 0:
        print('skip: relay, scan and discovery rows need the namespace of run-isolated.sh')
        return []
    rows = []
    for answer in DISCOVERY_ANSWERS:
        # Junk from the good server's own socket: its first port counts.
        for good in (False,) if len(answer) > 2 else (False, True):
            rows.append(('discover, ' + answer[0], lambda lab, svc, a=answer, g=good:
                         discovery_case(lab, a, g, False)))
    rows.append(('discover --json, escapes',
                 lambda lab, svc: discovery_case(lab, DISCOVERY_ANSWERS[3], True, True)))
    for row in SCAN_CASES:
        rows.append(('scan, ' + row[0], lambda lab, svc, r=row: scan_case(lab, svc, *r)))
    for label, replies in (answer[:2] for answer in DISCOVERY_ANSWERS):
        rows.append(('scan, discovery ' + label,
                     lambda lab, svc, l=label, r=replies: scan_case(lab, svc, 'discovery ' + l, {}, (), r)))
    for label, answers, rc in RELAY_CASES:
        rows.append(('relay, ' + label,
                     lambda lab, svc, l=label, a=answers, c=rc: relay_case(lab, svc, l, a, c)))
    rows = [row for row in rows if not only or only in row[0]]
    if not rows:
        return []
    problems = []
    lab = Lab()
    service = None
    work = tempfile.mkdtemp()
    try:
        service = Service(work)
        for label, run in rows:
            found = run(lab, service)
            print('%s: %s' % ('FAIL' if found else 'ok', label), flush=True)
            problems += found
    finally:
        if service:
            service.close()
        lab.close()
    return problems


def collection_cases():
    """The collection's client (what its modules and inventory run) ends
    with an error that names the failure, or with clean data."""
    client = load_collection_client()
    problems = []
    server = ScriptedServer({b'DIAG:PROD:CAT?': SILENT})
    try:
        client.identify(VORNCTL, '127.0.0.1:%d' % server.port, timeout=20)
        problems.append('collection: identify of a silent server returned')
    except client.VornctlError as error:
        if error.rc != client.EXIT_TIMED_OUT or len(str(error)) > MOST_LINE_BYTES:
            problems.append('collection: silent server: rc %r, %r' % (error.rc, str(error)[:300]))
    finally:
        server.close()
    server = ScriptedServer({b'DIAG:PROD:ID?': b'1,2/3,' + ANSI + b'\n'})
    try:
        identity = client.identify(VORNCTL, '127.0.0.1:%d' % server.port, timeout=20)
        if identity.get('deviceVersion') != 'Spektralanalysator f\u00fcr Gr\u00f6\u00dfen':
            problems.append('collection: ANSI identity read as %r' % identity.get('deviceVersion'))
    except client.VornctlError as error:
        problems.append('collection: ANSI identity failed: %s' % error)
    finally:
        server.close()
    return problems


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    work = tempfile.mkdtemp()
    package = make_package(work)
    only = sys.argv[1] if len(sys.argv) > 1 else ''
    problems = []
    # Most rows wait out a time-out of vornctl's, each against a server of
    # its own, so a few run at once; the bounds leave room for that.
    rows = [case for case in CASES if not only or only in case[0]]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for case, found in zip(rows, pool.map(lambda case: run_case(case, package), rows)):
            print('%s: %s' % ('FAIL' if found else 'ok', case[0]), flush=True)
            problems += found
    if not only or 'collection' in only:
        problems += collection_cases()
    problems += network_cases(only)
    rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    # The service of the network rows is a child too.
    if rss > MOST_RSS_KIB * rss_allowance():
        problems.append('a vornctl run grew to %d KiB' % rss)
    for problem in problems:
        print('FAIL: ' + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
