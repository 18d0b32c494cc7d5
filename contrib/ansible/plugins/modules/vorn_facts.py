#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
module: vorn_facts
short_description: Identity and device catalogue of an instrument computer
description:
  - Reads what the installation service of an instrument computer tells about
    itself and its devices - the catalogue of device ids and, for each device
    (or only I(device)), its model, material and serial number and version;
    the server's protocol versions, identifier and host name.
  - Returns them as the facts C(vorn_catalog) and C(vorn_devices_info), and
    the identity of the first instrument device (or I(device)) as
    C(vorn_identity).
version_added: 1.0.0
author:
  - vorn contributors (!UNKNOWN)
extends_documentation_fragment:
  - vorn.instruments.server
options:
  device:
    description:
      - Identify only this device. Default every device of the catalogue
        except the service itself (C(__TRL_Tool__)), which is identified only
        when there is no other.
attributes:
  check_mode:
    description: Can run in check mode and tell whether it would change something.
    support: full
    details: Only reads.
  facts:
    description: Returns facts (C(vorn_catalog), C(vorn_identity), C(vorn_devices_info)).
    support: full
seealso:
  - module: vorn.instruments.vorn_package
'''

EXAMPLES = r'''
- name: Read the identity of every instrument computer
  vorn.instruments.vorn_facts:

- name: Show the firmware version
  ansible.builtin.debug:
    msg: "{{ inventory_hostname }}: {{ vorn_identity.deviceVersion }}"
'''

RETURN = r'''
ansible_facts:
  description: The facts.
  returned: always
  type: complex
  contains:
    vorn_catalog:
      description: The device ids the server lists, in its order.
      returned: always
      type: list
      elements: str
      sample: ['1234.5678.02', '__TRL_Tool__']
    vorn_identity:
      description:
        - Identity of the first device identified - C(address), C(device),
          C(model), C(materialNumber), C(serialNumber), C(deviceVersion),
          C(protocolVersion), C(descriptionVersion), C(macAddress),
          C(vornId), C(host) (the computer's name), C(serverName) and
          C(serverVersion) (the service's own).
      returned: always
      type: dict
      sample:
        address: 198.51.100.2
        device: 1234.5678.02
        model: Sample Analyzer
        materialNumber: 1234.5678.02
        serialNumber: '100042'
        deviceVersion: '1.20'
        protocolVersion: 210
        descriptionVersion: 135
        macAddress: ''
        vornId: '{6FA9B8CB-7C21-41BD-99F4-F89019C56B5C}'
        host: lab-pc-17
        serverName: VORN
        serverVersion: 2.35.2
    vorn_devices_info:
      description: The identity of every device identified, by device id.
      returned: always
      type: dict
'''

from ansible.module_utils.basic import AnsibleModule

from ansible_collections.vorn.instruments.plugins.module_utils import vornctl as client

TOOL_DEVICE = '__TRL_Tool__'


def main():
    module = AnsibleModule(
        argument_spec=client.server_argument_spec(),
        supports_check_mode=True,
    )
    params = module.params
    client.require_set(module, 'host')
    server = client.server_text(params['host'], params['port'])
    try:
        vornctl = client.find_vornctl(params['vornctl_path'])
        catalog = client.devices(vornctl, server)
        if params['device']:
            wanted = [params['device']]
        else:
            wanted = [device for device in catalog if device != TOOL_DEVICE] or [TOOL_DEVICE]
        info = dict((device, client.identify(vornctl, server, device)) for device in wanted)
    except client.VornctlError as error:
        module.fail_json(msg='cannot identify %s: %s' % (server, error))
    module.exit_json(changed=False, ansible_facts=dict(
        vorn_catalog=catalog, vorn_identity=info[wanted[0]], vorn_devices_info=info))


if __name__ == '__main__':
    main()
