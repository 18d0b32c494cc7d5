# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)
"""The action side of the collection's modules: fills the server's address,
port and device from the host variables that the vorn inventory sets, and
finds package files the way ansible.builtin.copy finds its src, and marks
what the modules return unsafe."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os

from ansible.errors import AnsibleError
from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var


class ServerAction(ActionBase):

    # Host variable that fills each option the task leaves out.
    DEFAULTS_FROM_VARS = (('host', 'vorn_address'), ('port', 'vorn_port'))
    # Options that name files on the controller.
    FILE_OPTIONS = ()

    def run(self, tmp=None, task_vars=None):
        task_vars = task_vars or {}
        result = super(ServerAction, self).run(tmp, task_vars)
        args = dict(self._task.args)
        for option, variable in self.DEFAULTS_FROM_VARS:
            if args.get(option) is None and task_vars.get(variable) is not None:
                args[option] = task_vars[variable]
        if args.get('host') is None:
            args['host'] = task_vars.get('inventory_hostname')
        for option in self.FILE_OPTIONS:
            if args.get(option) and not os.path.isabs(args[option]):
                try:
                    args[option] = self._find_needle('files', args[option])
                except AnsibleError:
                    pass  # the module reports the missing file
        # The modules return what servers report; it is data, never a
        # template.
        returned = self._execute_module(module_args=args, task_vars=task_vars)
        result.update(dict((key, wrap_var(value)) for key, value in returned.items()))
        return result
