#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: vorn_package
short_description: Install a package on a device of an instrument computer
description:
  - Sends a package to the installation service of an instrument computer and
    has it installed on one of its devices, following the installation to its
    end. A package is a package description (C(.mki), made with C(vornpkg
    create)) and its data file, or an entry of an installer container.
  - An installation that ends with a reboot request (Windows Installer result
    3010, or 1641) is a success with C(reboot_required); it fails only when
    the server reports an error.
  - B(How the module tells that nothing would change.) The service keeps no
    record of what it installed. When I(version) is given, the module first
    reads the version that the device reports (C(SoftwareVersion) of its
    registry key, which the instrument software's installer sets); when it
    equals I(version), the package is taken as installed and nothing is sent
    (C(changed=false)). Without I(version) the module cannot tell, and every
    run installs the package again and reports C(changed=true).
version_added: 1.0.0
author:
  - vorn contributors (!UNKNOWN)
extends_documentation_fragment:
  - vorn.instruments.server
options:
  path:
    description:
      - The package description (C(.mki)). Its C(FileName) names the data
        file on the instrument computer.
      - Required unless I(container) is given.
    type: path
  data:
    description:
      - The data file of the package (an installer, a program, any file).
        Left out for a description whose package has no data.
    type: path
  container:
    description:
      - An installer container (made with C(vornpkg container)); the whole
        container is sent and its entry I(entry) installed.
    type: path
  entry:
    description:
      - The name of the container's entry to install (when several have it,
        the last one). Required with I(container).
    type: str
  signature:
    description:
      - The package's signature file, for a server that installs only signed
        packages. By default C(DATA.sig) (or C(CONTAINER.sig)) is sent when it
        lies next to the data file (or container).
    type: path
  version:
    description:
      - The version the device reports once the package is installed. When
        the device already reports it, nothing is sent and the result is
        C(changed=false) (see the description).
    type: str
  force:
    description: Install even when the device already reports I(version).
    type: bool
    default: false
  reboot:
    description:
      - Restart the instrument computer at once when the installation asks
        for it. Without it the result only says C(reboot_required) (use
        M(vorn.instruments.vorn_reboot) later).
    type: bool
    default: false
  timeout:
    description:
      - Longest time in seconds that the whole task may take, transfer and
        installation together; then the task fails (the installation may go
        on on the instrument computer). 0 means no limit.
    type: int
    default: 3600
  response_timeout:
    description:
      - Give up when the server does not answer for this many seconds
        (at least 5).
    type: int
    default: 30
  vornpkg_path:
    description:
      - The C(vornpkg) program, used in check mode to validate the package.
        Default the environment variable C(VORNPKG), C(vornpkg) beside
        C(vornctl), else on C(PATH).
    type: path
attributes:
  check_mode:
    description: Can run in check mode and tell whether it would change something.
    support: full
    details: Identifies the server and the device, reads the device's version
      and validates the package with C(vornpkg); sends nothing.
notes:
  - Relative paths in I(path), I(data) and I(container) are looked up like the
    C(src) of M(ansible.builtin.copy) (the C(files) folder of the role or the
    playbook, then the playbook's folder).
seealso:
  - module: vorn.instruments.vorn_reboot
  - module: vorn.instruments.vorn_facts
'''

EXAMPLES = r'''
- name: Install the analyzer firmware on every analyzer, once
  vorn.instruments.vorn_package:
    device: 1234.5678.02
    path: firmware-2.1.mki
    data: firmware-2.1.msi
    version: '2.1'
  register: firmware

- name: Restart where the installation asks for it
  vorn.instruments.vorn_reboot:
    device: 1234.5678.02
  when: firmware.reboot_required

- name: Install the calibration tool from an installer container
  vorn.instruments.vorn_package:
    container: bundle.mkc
    entry: Calibration
    timeout: 600

- name: On a host of another inventory, run on the controller
  vorn.instruments.vorn_package:
    host: 198.51.100.2
    device: 1234.5678.02
    path: /srv/packages/tool.exe.mki
    data: /srv/packages/tool.exe
  delegate_to: localhost
'''

RETURN = r'''
state:
  description:
    - The installation's final state word - C(SUCC) installed, C(BOOT)
      installed but the computer must restart, C(ERR) failed. Absent when
      nothing was installed (unchanged, check mode).
  returned: when an installation ran
  type: str
  sample: SUCC
percent:
  description: The last percentage the server reported.
  returned: when an installation ran
  type: int
  sample: 100
text:
  description: The server's status text at the end of the installation
    (for a failure the reason, for example C(Windows Installer error no. 1603)).
  returned: when an installation ran
  type: str
  sample: ''
reboot_required:
  description: The installation is done but takes effect only after a restart
    of the instrument computer (installer result 3010 or 1641).
  returned: always
  type: bool
  sample: false
rebooted:
  description: The module asked the server to restart the computer (I(reboot)).
  returned: always
  type: bool
  sample: false
device_version:
  description: The version the device reported before the installation.
  returned: when the device could be identified
  type: str
  sample: '1.20'
serial_number:
  description: The serial number of the device.
  returned: when the device could be identified
  type: str
  sample: '100042'
package:
  description: Name of the package (its description's C(Name)), in check mode.
  returned: in check mode
  type: str
  sample: Firmware 2.1
server:
  description: The server reached, C(HOST) or C(HOST:PORT).
  returned: always
  type: str
  sample: 198.51.100.2
device:
  description: The device installed on.
  returned: always
  type: str
  sample: 1234.5678.02
'''

import os
import time

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.vorn.instruments.plugins.module_utils import vornctl as client


def validate_package(module, params, vornctl):
    """Checks the package with vornpkg; returns its name or fails."""
    try:
        vornpkg = client.find_program('vornpkg', params['vornpkg_path'], 'VORNPKG', vornctl)
    except client.VornctlError as error:
        module.fail_json(msg='check mode needs vornpkg to validate the package: %s' % error)
    if params['container']:
        result = client.run(vornpkg, ['list', '--json', params['container']], timeout=120)
        if result.rc != 0 or not isinstance(result.data, list):
            module.fail_json(msg='%s is no installer container: %s'
                             % (params['container'], result.message()))
        names = [entry['Description']['Name'] for entry in result.data]
        if params['entry'] not in names:
            module.fail_json(msg="%s has no entry '%s' (it has: %s)"
                             % (params['container'], params['entry'], ', '.join(names)))
        return params['entry']
    result = client.run(vornpkg, ['show', '--json', params['path']], timeout=60)
    if result.rc != 0 or not isinstance(result.data, dict):
        module.fail_json(msg='%s is no valid package description: %s'
                         % (params['path'], result.message()))
    return result.data.get('Name', '')


def install_args(params, server):
    args = ['install', server, '--device', params['device'], '--json',
            '--timeout', max(5, params['response_timeout'])]
    if params['reboot']:
        args.append('--reboot')
    if params['container']:
        args += ['--container', '%s::%s' % (params['container'], params['entry'])]
    else:
        args.append(params['path'])
        if params['data']:
            args.append(params['data'])
    if params['signature']:
        args += ['--signature', params['signature']]
    return args


def warn_on_other_version(module, vornctl, server, params):
    """A package that does not bring the version it was said to would be
    installed again on every run: say so."""
    try:
        after = client.identify(vornctl, server, params['device'],
                                timeout=max(5, params['response_timeout']) + 10)
    except client.VornctlError as error:
        module.warn('cannot read the version of %s after the installation: %s'
                    % (params['device'], error))
        return
    if after.get('deviceVersion') != params['version']:
        module.warn('device %s reports version %s after the installation, not %s; the next '
                    'run installs the package again' % (params['device'],
                                                        after.get('deviceVersion'),
                                                        params['version']))


def main():
    module = AnsibleModule(
        argument_spec=client.server_argument_spec(
            path=dict(type='path'),
            data=dict(type='path'),
            container=dict(type='path'),
            signature=dict(type='path'),
            entry=dict(type='str'),
            version=dict(type='str'),
            force=dict(type='bool', default=False),
            reboot=dict(type='bool', default=False),
            timeout=dict(type='int', default=3600),
            response_timeout=dict(type='int', default=30),
            vornpkg_path=dict(type='path'),
        ),
        mutually_exclusive=[('path', 'container'), ('data', 'container')],
        required_one_of=[('path', 'container')],
        required_together=[('container', 'entry')],
        supports_check_mode=True,
    )
    params = module.params
    client.require_set(module, 'host', 'device')
    for name in ('path', 'data', 'container', 'signature'):
        if params[name] and not os.path.isfile(params[name]):
            module.fail_json(msg='%s: no such file: %s' % (name, params[name]))
    server = client.server_text(params['host'], params['port'])
    result = dict(changed=False, server=server, device=params['device'],
                  reboot_required=False, rebooted=False)
    started = time.time()

    try:
        vornctl = client.find_vornctl(params['vornctl_path'])
        identity = client.identify(vornctl, server, params['device'],
                                   timeout=max(5, params['response_timeout']) + 10)
    except client.VornctlError as error:
        module.fail_json(msg='cannot identify device %s on %s: %s'
                         % (params['device'], server, error), **result)
    result['device_version'] = identity.get('deviceVersion')
    result['serial_number'] = identity.get('serialNumber')

    if (params['version'] is not None and not params['force']
            and identity.get('deviceVersion') == params['version']):
        result['msg'] = 'device %s already reports version %s' % (params['device'],
                                                                  params['version'])
        module.exit_json(**result)

    if module.check_mode:
        result['package'] = validate_package(module, params, vornctl)
        result['changed'] = True
        result['msg'] = 'would install %s on %s' % (result['package'] or 'the package',
                                                    params['device'])
        module.exit_json(**result)

    remaining = None
    if params['timeout'] > 0:
        remaining = max(1, params['timeout'] - (time.time() - started))
    try:
        run = client.run(vornctl, install_args(params, server), timeout=remaining)
    except client.VornctlError as error:
        result['changed'] = True  # the transfer or the installation may have begun
        module.fail_json(msg='installation on %s stopped after the time-out of %d s: %s'
                         % (server, params['timeout'], error), **result)

    outcome = run.data if isinstance(run.data, dict) else None
    if outcome is None:
        # vornctl stopped before the installation: no connection, the device
        # refused the selection, a package file it cannot read.
        module.fail_json(msg=run.message(), rc=run.rc, **result)
    result.update(state=outcome.get('state'), percent=outcome.get('percent'),
                  text=outcome.get('text', ''), rebooted=bool(outcome.get('rebooted')))
    result['reboot_required'] = client.asks_for_restart(outcome.get('state'), outcome.get('text'))
    if run.rc in (client.EXIT_OK, client.EXIT_REBOOT_REQUIRED) or result['reboot_required']:
        result['changed'] = True
        if result['reboot_required'] and not result['rebooted']:
            result['msg'] = 'installed; the instrument computer must restart'
        else:
            result['msg'] = outcome.get('result', 'installed')
        if params['version'] is not None and outcome.get('state') == 'SUCC':
            warn_on_other_version(module, vornctl, server, params)
        module.exit_json(**result)
    # A transfer that broke off may have left files behind: that is a change.
    result['changed'] = outcome.get('state') is not None or run.rc == client.EXIT_TIMED_OUT
    module.fail_json(msg='installation failed: %s' % (outcome.get('text') or run.message()),
                     rc=run.rc, **result)


if __name__ == '__main__':
    main()
