# -*- coding: utf-8 -*-
# Copyright: contributors to vorn
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

from ansible_collections.vorn.instruments.plugins.plugin_utils.server_action import ServerAction


class ActionModule(ServerAction):
    DEFAULTS_FROM_VARS = ServerAction.DEFAULTS_FROM_VARS + (('device', 'vorn_material_number'),)
    FILE_OPTIONS = ('path', 'data', 'container', 'signature')
