# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    # Options of every module that talks to one installation server.
    DOCUMENTATION = r'''
options:
  host:
    description:
      - Address or name of the instrument computer.
      - When left out, the host variable C(vorn_address) (set by the
        C(vorn.instruments.vorn) inventory plugin), else the inventory host name.
    type: str
  port:
    description:
      - TCP port of the server's data channel.
      - When left out, the host variable C(vorn_port), else 13217.
    type: int
    default: 13217
  device:
    description:
      - Device id (material number) to select, for example C(1234.5678.02),
        or C(__TRL_Tool__) for the service itself.
      - When left out, the host variable C(vorn_material_number) (the first
        instrument device the inventory found).
    type: str
  vornctl_path:
    description:
      - The C(vornctl) program on the controller. Default the environment
        variable C(VORNCTL), else C(vornctl) on C(PATH).
    type: path
notes:
  - The module runs on the controller and reaches the server over the
    network with C(vornctl); the hosts of the C(vorn.instruments.vorn)
    inventory plugin use the C(local) connection for that. With other
    inventories run the tasks with C(delegate_to=localhost) or C(connection=local).
'''
