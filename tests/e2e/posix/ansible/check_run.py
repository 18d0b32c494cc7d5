"""Checks the output of ansible-inventory --list or of a playbook run with
the json callback: check_run.py WHAT FILE."""
import json
import sys

what, path = sys.argv[1], sys.argv[2]


def plain(value):
    """value with ansible-inventory's form of a text marked unsafe,
    {"__ansible_unsafe": text}, taken back to the text."""
    if isinstance(value, dict):
        if list(value) == ["__ansible_unsafe"]:
            return value["__ansible_unsafe"]
        return dict((key, plain(item)) for key, item in value.items())
    if isinstance(value, list):
        return [plain(item) for item in value]
    return value


data = json.load(open(path))
if what == "inventory":
    # What the servers reported is marked unsafe; the plugin's own values are not.
    hostvars = data["_meta"]["hostvars"]
    for v in hostvars.values():
        assert v["ansible_python_interpreter"] == "{{ ansible_playbook_python }}", v
        assert v["vorn_device_version"] == {"__ansible_unsafe": "1.20"}, v
    data = plain(data)
A, B, C, D = (f"198.51.100.{n}" for n in (11, 12, 13, 14))


def results(task_name):
    """host -> result of the task of that name (all plays)."""
    for play in data["plays"]:
        for task in play["tasks"]:
            if task["task"]["name"] == task_name:
                return task["hosts"]
    raise AssertionError(f"no task {task_name}")


def expect(task_name, changed=(), unchanged=(), failed=(), message=""):
    hosts = results(task_name)
    for host in changed:
        assert not hosts[host].get("failed"), (task_name, host, hosts[host])
        assert hosts[host]["changed"] is True, (task_name, host, hosts[host])
    for host in unchanged:
        assert not hosts[host].get("failed"), (task_name, host, hosts[host])
        assert hosts[host]["changed"] is False, (task_name, host, hosts[host])
    for host in failed:
        assert hosts[host].get("failed") is True, (task_name, host, hosts[host])
        assert message in hosts[host]["msg"], (task_name, host, hosts[host]["msg"])
    assert sorted(hosts) == sorted(set(changed) | set(unchanged) | set(failed)), hosts


if what == "inventory":
    hostvars = data["_meta"]["hostvars"]
    assert sorted(hostvars) == [A, B, C, D], sorted(hostvars)
    for host, serial in ((A, "100011"), (B, "100012"), (C, "100013"), (D, "100014")):
        v = hostvars[host]
        assert v["vorn_address"] == host and v["vorn_port"] == 13217, v
        assert v["ansible_connection"] == "local", v
        assert v["vorn_serial_number"] == serial, v
        assert v["vorn_device_version"] == "1.20" and v["vorn_model"] == "Sample Analyzer", v
        assert v["vorn_protocol_version"] == 210 and v["vorn_description_version"] == 135, v
        assert v["vorn_id"].startswith('{') and v["vorn_host_name"], v
        assert (v["vorn_server_name"], v["vorn_server_version"]) == ("VORN", "2.35.2"), v
        assert v["vorn_identity"] == "Installation Server V2.35.2", v
        material = "1234.5678.07" if host == C else "1234.5678.02"
        assert v["vorn_material_number"] == material, v
        assert v["vorn_devices"] == [material, "__TRL_Tool__"], v
        assert v["vorn_device_info"][material]["serialNumber"] == serial, v
    assert hostvars[D]["vorn_device_group"] == "lab2", hostvars[D]
    groups = {name: sorted(g.get("hosts", [])) for name, g in data.items() if name != "_meta"}
    assert groups["vorn_servers"] == [A, B, C, D], groups
    assert groups["device_group_DEFAULT"] == [A, B, C], groups
    assert groups["device_group_lab2"] == [D], groups
    assert groups["material_1234_5678_02"] == [A, B, D], groups
    assert groups["material_1234_5678_07"] == [C], groups
elif what == "first":
    expect("Firmware", changed=(A, B, D), failed=(C,), message="Device not available")
    expect("Calibration data", changed=(A, B, D))
    for host in (A, B, D):
        result = results("Firmware")[host]
        assert result["state"] == "SUCC" and result["reboot_required"] is False, result
        assert result["device_version"] == "1.20", result
    stats = data["stats"]
    assert stats[C]["failures"] == 1 and all(stats[h]["failures"] == 0 for h in (A, B, D)), stats
elif what == "second":
    expect("Firmware", unchanged=(A, B, D), failed=(C,), message="Device not available")
    expect("Calibration data", changed=(A, B, D))
    assert all("state" not in results("Firmware")[h] for h in (A, B, D))
elif what == "check":
    expect("Tool", changed=(A, B, C, D))
    assert results("Tool")[C]["device"] == "1234.5678.07", results("Tool")[C]
    assert results("Tool")[A]["package"] == "Tool", results("Tool")[A]
    hosts = results("Firmware already there")
    assert all(hosts[h]["changed"] is False for h in (A, B, D)) and hosts[C].get("skipped"), hosts
    expect("Broken description", failed=(A, B, C, D), message="no valid package description")
elif what == "timeout":
    expect("Slow", failed=(A,), message="time-out of 4 s")
elif what == "facts":
    for host, serial in ((A, "100011"), (B, "100012"), (C, "100013"), (D, "100014")):
        facts = results("Facts")[host]["ansible_facts"]
        assert facts["vorn_identity"]["serialNumber"] == serial, facts
        assert facts["vorn_catalog"][-1] == "__TRL_Tool__", facts
        assert results("Facts seen")[host]["ansible_facts"]["seen_serial"] == serial
    result = results("Restart B")[B]
    assert not result.get("failed") and result["changed"] is True, result
    assert result["device"] == "1234.5678.02", result
    result = results("Restart A in check mode")[A]
    assert not result.get("failed") and result["changed"] is True, result
elif what == "restart":
    local = "localhost"
    for task in ("Result 3010", "Result 1641"):
        result = results(task)[local]
        assert not result.get("failed") and result["changed"] is True, (task, result)
        assert result["reboot_required"] is True, (task, result)
    result = results("Result 1603")[local]
    assert result.get("failed") and result["reboot_required"] is False, result
    assert "Windows Installer error no. 1603" in result["msg"], result
else:
    raise SystemExit(f"unknown check {what}")
