# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""Runs the vornctl client and reads its JSON output.

The collection speaks to installation servers only through vornctl, so the
wire protocol, the block checksum and the package description format stay in
one place (the C++ client library). Everything here is plain Python so that
the inventory plugin (on the controller) and the modules share it.
"""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re
import shutil
import subprocess

# vornctl's exit codes.
EXIT_OK = 0
EXIT_NOTHING_FOUND = 1
EXIT_USAGE = 2
EXIT_UNREACHABLE = 3
EXIT_NOT_A_SERVER = 4
EXIT_SERVER_ERROR = 5
EXIT_INSTALL_FAILED = 6
EXIT_REBOOT_REQUIRED = 7
EXIT_TIMED_OUT = 8
EXIT_FILE_ERROR = 9

DEFAULT_PORT = 13217

# Windows Installer results that mean "done, but the computer must restart".
# The server reports 3010 as the BOOT state itself; 1641 (the installer has
# started the restart) arrives as an error text and is no failure either.
REBOOT_RESULTS = ('3010', '1641')


def server_argument_spec(**more):
    """The options every module takes to reach a server (the doc fragment
    vorn.instruments.server documents them), with the module's own added."""
    spec = dict(
        host=dict(type='str'),
        port=dict(type='int', default=DEFAULT_PORT),
        device=dict(type='str'),
        vornctl_path=dict(type='path'),
    )
    spec.update(more)
    return spec


def require_set(module, *names):
    """Fails the module for the first of names that is not set: the vorn
    inventory sets them for its hosts, so a missing one is a playbook's fault."""
    for name in names:
        if not module.params[name]:
            module.fail_json(msg='%s is required (the vorn inventory sets it for its hosts)' % name)


class VornctlError(Exception):
    """vornctl could not be run or did not answer as expected."""

    def __init__(self, message, rc=None, stdout='', stderr=''):
        super(VornctlError, self).__init__(message)
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr


class Result(object):
    """One run of vornctl: exit code, output and the parsed JSON (or None)."""

    def __init__(self, argv, rc, stdout, stderr):
        self.argv = argv
        self.rc = rc
        self.stdout = stdout
        self.stderr = stderr
        self.data = None
        text = stdout.strip()
        if text.startswith('{') or text.startswith('['):
            try:
                self.data = json.loads(text)
            except ValueError:
                self.data = None

    def message(self):
        """What vornctl said went wrong, as one line."""
        lines = [line for line in self.stderr.splitlines() if line.strip()]
        if lines:
            return ' '.join(line.strip() for line in lines)
        return 'vornctl exited with %d' % self.rc


def find_program(name, path=None, env=None, beside=None):
    """A program of the tools: the given path, the environment variable env,
    name in the folder of program beside, or name on PATH."""
    for candidate in (path, os.environ.get(env) if env else None):
        if candidate:
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return candidate
            raise VornctlError('%s not found or not executable: %s' % (name, candidate))
    if beside:
        candidate = os.path.join(os.path.dirname(beside), name)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which(name)
    if not found:
        raise VornctlError('%s not found on PATH; install it or give its path' % name)
    return found


def find_vornctl(path=None):
    """The vornctl program: the given path, $VORNCTL, or vornctl on PATH."""
    return find_program('vornctl', path, 'VORNCTL')


def server_text(host, port=None):
    """HOST:PORT as vornctl takes it."""
    if port is None or int(port) == DEFAULT_PORT:
        return host
    return '%s:%d' % (host, int(port))


def run(vornctl, args, timeout=None):
    """Runs vornctl with args; a run longer than timeout seconds is stopped."""
    argv = [vornctl] + [str(arg) for arg in args]
    try:
        proc = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        raise VornctlError('%s did not finish within %s s' % (' '.join(argv[1:3]), timeout))
    except OSError as error:
        raise VornctlError('cannot run %s: %s' % (vornctl, error))
    return Result(argv, proc.returncode,
                  proc.stdout.decode('utf-8', 'replace'),
                  proc.stderr.decode('utf-8', 'replace'))


def discover(vornctl, equipment_numbers=None, group=None, timeout_ms=2000):
    """The servers that answer a discovery scan: one dict per server and
    equipment number (address, port, equipmentNumber, serialNumber, identity)."""
    args = ['discover', '--json', '--timeout', int(timeout_ms)]
    if group is not None:
        args += ['--group', group]
    for number in equipment_numbers or []:
        args += ['--equipment', number]
    # The scan ends after the quiet time; give it room for many answers.
    result = run(vornctl, args, timeout=int(timeout_ms) / 1000.0 + 60)
    if result.rc == EXIT_NOTHING_FOUND:
        return []
    if result.rc != EXIT_OK or not isinstance(result.data, list):
        raise VornctlError('discovery failed: %s' % result.message(), result.rc,
                           result.stdout, result.stderr)
    return result.data


def identify(vornctl, server, device=None, timeout=30):
    """The identity of a server and one of its devices (dict), or raises."""
    args = ['identify', server, '--json']
    if device:
        args += ['--device', device]
    result = run(vornctl, args, timeout=timeout)
    if result.rc != EXIT_OK or not isinstance(result.data, dict):
        raise VornctlError(result.message(), result.rc, result.stdout, result.stderr)
    return result.data


def devices(vornctl, server, timeout=30):
    """The device ids of a server's catalogue, in its order."""
    result = run(vornctl, ['devices', server, '--json'], timeout=timeout)
    if result.rc != EXIT_OK or not isinstance(result.data, list):
        raise VornctlError(result.message(), result.rc, result.stdout, result.stderr)
    return result.data


def asks_for_restart(state, text):
    """True when an installation's final state and text mean "installed, the
    computer must restart": the BOOT state, or an installer error text that
    names one of REBOOT_RESULTS."""
    if state == 'BOOT':
        return True
    if state != 'ERR':
        return False
    match = re.match(r'^Windows Installer error no\. (\d+)$', (text or '').strip())
    return bool(match) and match.group(1) in REBOOT_RESULTS
