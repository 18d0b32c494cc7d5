#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: vorn_reboot
short_description: Restart an instrument computer through its installation service
description:
  - Asks the installation service of an instrument computer to restart the
    computer at once (as after an installation that requires it).
  - The module does not wait for the computer to come back; with I(wait) it
    waits until the server answers again as a new start of the service (its
    server identifier, made anew at every start, has changed).
version_added: 1.0.0
author:
  - vorn contributors (!UNKNOWN)
extends_documentation_fragment:
  - vorn.instruments.server
options:
  wait:
    description:
      - Wait until the server can be identified again after the restart.
    type: bool
    default: false
  timeout:
    description:
      - With I(wait), the longest time in seconds to wait for the server to
        come back.
    type: int
    default: 600
attributes:
  check_mode:
    description: Can run in check mode and tell whether it would change something.
    support: full
    details: Identifies the server and the device; does not restart.
seealso:
  - module: vorn.instruments.vorn_package
'''

EXAMPLES = r'''
- name: Install, and restart only where the installation asks for it
  vorn.instruments.vorn_package:
    path: firmware.mki
    data: firmware.msi
  register: firmware

- name: Restart
  vorn.instruments.vorn_reboot:
    wait: true
  when: firmware.reboot_required
'''

RETURN = r'''
server:
  description: The server reached, C(HOST) or C(HOST:PORT).
  returned: always
  type: str
  sample: 198.51.100.2
device:
  description: The device selected for the request.
  returned: always
  type: str
  sample: 1234.5678.02
text:
  description: The server's text when the restart failed.
  returned: on failure
  type: str
  sample: System Reboot Failed.
elapsed:
  description: Seconds until the server answered again (with I(wait)).
  returned: when I(wait) is true
  type: int
  sample: 95
'''

import time

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.vorn.instruments.plugins.module_utils import vornctl as client


def wait_for_server(module, vornctl, server, device, before, result):
    """Polls until the server answers with another server identifier than
    before the restart (a new one is made at every start), or fails."""
    started = time.time()
    while time.time() - started < module.params['timeout']:
        time.sleep(5)
        try:
            identity = client.identify(vornctl, server, device, timeout=30)
        except client.VornctlError:
            continue
        if identity.get('vornId') != before.get('vornId'):
            result['elapsed'] = int(time.time() - started)
            return
    module.fail_json(msg='%s did not come back within %d s' % (server, module.params['timeout']),
                     **result)


def main():
    module = AnsibleModule(
        argument_spec=client.server_argument_spec(
            wait=dict(type='bool', default=False),
            timeout=dict(type='int', default=600),
        ),
        supports_check_mode=True,
    )
    params = module.params
    client.require_set(module, 'host', 'device')
    server = client.server_text(params['host'], params['port'])
    result = dict(changed=False, server=server, device=params['device'])
    try:
        vornctl = client.find_vornctl(params['vornctl_path'])
        before = client.identify(vornctl, server, params['device'])
    except client.VornctlError as error:
        module.fail_json(msg='cannot identify device %s on %s: %s'
                         % (params['device'], server, error), **result)
    result['changed'] = True
    if module.check_mode:
        module.exit_json(msg='would restart the instrument computer', **result)

    try:
        run = client.run(vornctl, ['reboot', server, '--device', params['device'], '--json'],
                         timeout=120)
    except client.VornctlError as error:
        module.fail_json(msg=str(error), **result)
    outcome = run.data if isinstance(run.data, dict) else None
    if run.rc != client.EXIT_OK:
        result['changed'] = False
        text = outcome.get('text', '') if outcome else ''
        module.fail_json(msg='restart failed: %s' % (text or run.message()), text=text,
                         rc=run.rc, **result)
    if params['wait']:
        wait_for_server(module, vornctl, server, params['device'], before, result)
    module.exit_json(msg='restart requested', **result)


if __name__ == '__main__':
    main()
