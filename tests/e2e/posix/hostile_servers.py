#!/usr/bin/env python3
"""vornctl and the Ansible collection's client against servers that misbehave.

Each row of CASES is one scripted server (how it answers which query) and one
run of a tool against it. Whatever the server does, the tool must end within
its time-out with its documented exit code, name the server in its error,
quote at most a few hundred bytes of the server's text with control
characters escaped, keep its --json output valid UTF-8 JSON, and stay small.
"""

import importlib.util
import json
import os
import re
import resource
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

    def __init__(self, answers):
        self.answers = dict(WELL_BEHAVED)
        self.answers.update(answers)
        self.listener = socket.socket()
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(8)
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
    if re.search('[\x00-\x08\x0b-\x1f\x7f-\x9f]', decoded):
        problems.append('%s: %s holds control characters: %r' % (name, stream, decoded[:200]))
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
    work = tempfile.mkdtemp()
    package = make_package(work)
    only = sys.argv[1] if len(sys.argv) > 1 else ''
    problems = []
    for case in CASES:
        if only and only not in case[0]:
            continue
        found = run_case(case, package)
        print('%s: %s' % ('FAIL' if found else 'ok', case[0]), flush=True)
        problems += found
    if not only or 'collection' in only:
        problems += collection_cases()
    rss = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    if rss > MOST_RSS_KIB:
        problems.append('a vornctl run grew to %d KiB' % rss)
    for problem in problems:
        print('FAIL: ' + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
