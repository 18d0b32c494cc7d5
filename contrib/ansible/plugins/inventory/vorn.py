# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
name: vorn
short_description: Instrument computers found by a discovery scan
description:
  - Finds the installation servers of instrument computers with the service's
    UDP discovery (a broadcast on every network interface of the controller,
    through C(vornctl discover)) and makes one host per server.
  - Each host is named after the address of the server's data channel (with
    C(_PORT) appended when the port is not 13217) and is reached through the
    C(local) connection, so that the modules of this collection run on the
    controller and talk to the server over the network.
  - Hosts are put into the group C(vorn_servers), into C(device_group_NAME)
    for every device group of I(device_groups) they answered for, and into
    C(material_NUMBER) for every material number they serve (characters other
    than letters, digits and C(_) become C(_)).
  - The identity of each server is read with C(vornctl identify) and kept as
    host variables (see the example below).
  - The inventory file name must end in C(vorn.yml) or C(vorn.yaml).
version_added: 1.0.0
extends_documentation_fragment:
  - constructed
options:
  plugin:
    description: Marks the file as one for this plugin.
    required: true
    type: str
    choices: ['vorn.instruments.vorn', 'vorn']
  equipment_numbers:
    description:
      - Equipment (material) numbers to ask for. A server answers when it has
        a device with one of them.
      - The default, C(__TRL_Tool__), is served by every server.
    type: list
    elements: str
    default: ['__TRL_Tool__']
  device_groups:
    description:
      - Device groups to ask for, one scan each. A server answers only for
        its own device group (letter case and surrounding blanks do not
        matter), and its host joins C(device_group_NAME) and gets
        C(vorn_device_group).
      - Empty (the default) asks every server whatever its group; the hosts
        then have no device group.
    type: list
    elements: str
    default: []
  timeout:
    description:
      - Quiet time in milliseconds that ends a scan (no answer for this
        long). Every answer restarts it.
    type: int
    default: 2000
  identify:
    description:
      - Connect to every server found and read its identity and catalogue
        into host variables. Without it the hosts carry only what discovery
        tells.
    type: bool
    default: true
  forks:
    description: How many servers are identified at the same time.
    type: int
    default: 16
  vornctl_path:
    description:
      - The C(vornctl) program. Default the environment variable C(VORNCTL),
        else C(vornctl) on the controller's C(PATH).
    type: path
    env:
      - name: VORNCTL
notes:
  - Discovery finds the servers of other computers; a server on the
    controller itself does not count (its own answer is left out).
  - Host variables, all prefixed C(vorn_) - C(vorn_address), C(vorn_port),
    C(vorn_identity) (the server's identity text),
    C(vorn_equipment_numbers) and C(vorn_serial_numbers) (what it answered
    to discovery), C(vorn_device_group); after identification
    C(vorn_devices) (the catalogue), C(vorn_material_number),
    C(vorn_serial_number), C(vorn_model), C(vorn_device_version) (of the
    first instrument device), C(vorn_device_info) (the same for every
    device, by id), C(vorn_protocol_version), C(vorn_description_version),
    C(vorn_mac_address), C(vorn_id), C(vorn_host_name), C(vorn_server_name)
    and C(vorn_server_version) (the service's own).
  - Everything a server reports is marked unsafe, so Ansible never takes it
    for a template; it is used as the text it is.
  - A server that does not let itself be identified is kept with a warning
    and C(vorn_identify_error).
'''

EXAMPLES = r'''
# lab.vorn.yml: every server of the device groups LAB1 and LAB2
plugin: vorn.instruments.vorn
device_groups: [LAB1, LAB2]
timeout: 1500

# analyzers.vorn.yml: only computers with one of these devices, plus a
# group per device version
plugin: vorn.instruments.vorn
equipment_numbers:
  - 1234.5678.02
  - 1234.5678.03
keyed_groups:
  - key: vorn_device_version
    prefix: version
'''

import re
import threading

from ansible.errors import AnsibleParserError
from ansible.module_utils.common.text.converters import to_native
from ansible.plugins.inventory import BaseInventoryPlugin, Constructable
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.vorn.instruments.plugins.module_utils import vornctl as client

TOOL_DEVICE = '__TRL_Tool__'
# Host variables this plugin makes itself (the interpreter is a template;
# the address is the one discovery's answer came from, in digits and dots).
OWN_VARIABLES = ('ansible_connection', 'ansible_python_interpreter', 'ansible_host',
                 'vorn_address', 'vorn_port')


def group_name(prefix, value):
    return prefix + re.sub(r'[^A-Za-z0-9_]', '_', value.strip())


class InventoryModule(BaseInventoryPlugin, Constructable):

    NAME = 'vorn.instruments.vorn'

    def verify_file(self, path):
        if not super(InventoryModule, self).verify_file(path):
            return False
        return path.endswith(('vorn.yml', 'vorn.yaml'))

    def parse(self, inventory, loader, path, cache=True):
        super(InventoryModule, self).parse(inventory, loader, path, cache)
        self._read_config_data(path)
        try:
            vornctl = client.find_vornctl(self.get_option('vornctl_path'))
            servers = self._scan(vornctl)
        except client.VornctlError as error:
            raise AnsibleParserError('vorn inventory: %s' % to_native(error))
        if self.get_option('identify'):
            self._identify_all(vornctl, servers)
        for server in servers.values():
            self._add_host(server)

    def _scan(self, vornctl):
        """Servers by (address, port): what discovery told of each."""
        groups = self.get_option('device_groups') or [None]
        numbers = self.get_option('equipment_numbers')
        timeout = self.get_option('timeout')
        answers = {}
        errors = []

        # One scan per device group, all at once: each waits for its own
        # quiet time, and replies go to each scan's own socket.
        def scan(group):
            try:
                answers[group] = client.discover(vornctl, numbers, group, timeout)
            except client.VornctlError as error:
                errors.append(error)
        threads = [threading.Thread(target=scan, args=(group,)) for group in groups]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        if errors:
            raise errors[0]

        servers = {}
        for group in groups:
            for row in answers.get(group, []):
                key = (row['address'], int(row['port']))
                server = servers.setdefault(key, {
                    'address': row['address'], 'port': int(row['port']),
                    'identity': row.get('identity', ''), 'groups': [],
                    'serial_numbers': {}})
                if group is not None and group not in server['groups']:
                    server['groups'].append(group)
                number = row.get('equipmentNumber')
                if number:
                    server['serial_numbers'][number] = row.get('serialNumber', '')
        return servers

    def _identify_all(self, vornctl, servers):
        pending = list(servers.values())
        lock = threading.Lock()

        def work():
            while True:
                with lock:
                    if not pending:
                        return
                    server = pending.pop()
                self._identify(vornctl, server)
        threads = [threading.Thread(target=work)
                   for dummy in range(max(1, min(self.get_option('forks'), len(pending))))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    @staticmethod
    def _identify(vornctl, server):
        target = client.server_text(server['address'], server['port'])
        try:
            catalog = client.devices(vornctl, target)
            instruments = [device for device in catalog if device != TOOL_DEVICE]
            info = {}
            for device in instruments or [TOOL_DEVICE]:
                info[device] = client.identify(vornctl, target, device)
            server['catalog'] = catalog
            server['info'] = info
            server['first'] = info[(instruments or [TOOL_DEVICE])[0]]
        except client.VornctlError as error:
            server['identify_error'] = to_native(error)

    def _add_host(self, server):
        name = server['address']
        if server['port'] != client.DEFAULT_PORT:
            name = '%s_%d' % (name, server['port'])
        inventory = self.inventory
        inventory.add_host(name)
        hostvars = {
            'ansible_host': server['address'],
            'ansible_connection': 'local',
            'ansible_python_interpreter': '{{ ansible_playbook_python }}',
            'vorn_address': server['address'],
            'vorn_port': server['port'],
            'vorn_identity': server['identity'],
            'vorn_equipment_numbers': sorted(server['serial_numbers']),
            'vorn_serial_numbers': server['serial_numbers'],
        }
        groups = ['vorn_servers']
        for group in server['groups']:
            groups.append(group_name('device_group_', group))
        if server['groups']:
            hostvars['vorn_device_group'] = server['groups'][0]
        materials = [n for n in server['serial_numbers'] if n != TOOL_DEVICE]
        if 'identify_error' in server:
            hostvars['vorn_identify_error'] = server['identify_error']
            self.display.warning('vorn inventory: cannot identify %s: %s'
                                 % (name, server['identify_error']))
        elif 'first' in server:
            first = server['first']
            hostvars.update({
                'vorn_devices': server['catalog'],
                'vorn_material_number': first.get('materialNumber'),
                'vorn_serial_number': first.get('serialNumber'),
                'vorn_model': first.get('model'),
                'vorn_device_version': first.get('deviceVersion'),
                'vorn_protocol_version': first.get('protocolVersion'),
                'vorn_description_version': first.get('descriptionVersion'),
                'vorn_mac_address': first.get('macAddress'),
                'vorn_id': first.get('vornId'),
                'vorn_host_name': first.get('host'),
                'vorn_server_name': first.get('serverName'),
                'vorn_server_version': first.get('serverVersion'),
                'vorn_device_info': dict(
                    (device, dict((key, identity.get(key)) for key in
                                  ('model', 'materialNumber', 'serialNumber', 'deviceVersion')))
                    for device, identity in server['info'].items()),
            })
            materials += [d for d in server['catalog'] if d != TOOL_DEVICE]
        for material in sorted(set(materials)):
            groups.append(group_name('material_', material))
        for group in groups:
            inventory.add_group(group)
            inventory.add_child(group, name)
        # What a server reports is data, never a template: a server on the
        # network must not run expressions on the controller.
        for key, value in hostvars.items():
            if key not in OWN_VARIABLES:
                value = wrap_var(value)
            inventory.set_variable(name, key, value)

        strict = self.get_option('strict')
        variables = self.inventory.get_host(name).get_vars()
        self._set_composite_vars(self.get_option('compose'), variables, name, strict=strict)
        self._add_host_to_composed_groups(self.get_option('groups'), variables, name, strict=strict)
        self._add_host_to_keyed_groups(self.get_option('keyed_groups'), variables, name,
                                       strict=strict)
