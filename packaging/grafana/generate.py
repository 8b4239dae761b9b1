#!/usr/bin/python3
"""Writes the two Grafana dashboards of tarn-vm-perfdata: one over the Prometheus scrape, one over
the InfluxDB 1.x lines. The committed JSON files are this program's output (the packaging test
compares them); change the dashboards here and run it again:

    /usr/bin/python3 packaging/grafana/generate.py [DIRECTORY]   # default: next to this file

Both have the same rows, with queries of their own: Prometheus has base units and counters for
rate(), InfluxDB keeps the values as the host reports them (Mbit/s, ms) and grows its counters in
plain fields. The daemon's own health is in the Prometheus scrape only.
"""
import json
import os
import sys

PREFIX = "tarn_vm"  # the default metrics_prefix; with another, replace "tarn_vm_" in the JSON

# Prometheus selectors and legends. Multi-value variables expand to a regex alternation; Site
# and Host "All" to .* (which also matches series without a site label: a single host).
SITE = 'site=~"$site"'
HOST = f'{SITE}, hostname=~"$hostname"'
VM = f'{HOST}, vm_id=~"$vm"'
BY_HOST = "{{hostname}}"
BY_VM = "{{hostname}} VM {{vm_id}}"
BY_DEVICE = "{{hostname}} VM {{vm_id}} slot {{slot}}"


def metric(name, selector=VM):
    return f"{PREFIX}_{name}{{{selector}}}"


def rate(name, selector=VM, window="$__rate_interval"):
    return f"rate({metric(name, selector)}[{window}])"


def panel(kind, title, unit, width, targets, text, **extra):
    """kind: timeseries, stat or table; targets: [(query, legend)]."""
    return dict(kind=kind, title=title, unit=unit, width=width, targets=targets, text=text,
                **extra)


def busiest_table(title, text, columns):
    """A table of one instant query per column, merged on the labels: [(column name, unit,
    query)]; the first column decides the order."""
    overrides = [{"matcher": {"id": "byName", "options": name},
                  "properties": [{"id": "unit", "value": unit}]} for name, unit, _ in columns[1:]
                 if unit != columns[0][1]]
    names = {f"Value #{chr(65 + i)}": name for i, (name, _, _) in enumerate(columns)}
    return panel("table", title, columns[0][1], 24, [(query, "") for _, _, query in columns],
                 text, overrides=overrides, renames=names, sort=columns[0][0])


# The ten VMs with the most vCPU run time over the dashboard's range, and other figures of them.
TOP_VMS = ("topk(10, sum by (hostname, vm_id) "
           f"({rate('bhyve_cpu_vcpu_runtime_total', window='$__range')}))")


def of_top_vms(expression, scale=""):
    return f"sum by (hostname, vm_id) ({expression}){scale} and on (hostname, vm_id) {TOP_VMS}"


def fleet(name, selector=SITE):
    """A series of tarn-vm-perfdata-fleet.rules.yml (level:name:operation)."""
    return f"{name.replace('tarn_vm_', PREFIX + '_')}{{{selector}}}"


PROMETHEUS_ROWS = [
    ("Fleet", [
        panel("timeseries", "vCPU run time by site", "short", 8,
              [(fleet("site:tarn_vm_bhyve_cpu_vcpu_runtime_seconds:rate5m"), "{{site}}")],
              "vCPU seconds run per second, all VMs of the site together: vCPUs busy."),
        panel("timeseries", "VMs and vCPUs by site", "short", 8,
              [(fleet("site:tarn_vm_vms:count"), "{{site}} VMs"),
               (fleet("site:tarn_vm_bhyve_cpu_vm_cpus:sum"), "{{site}} vCPUs")],
              "Running VMs of the site and their vCPUs."),
        panel("timeseries", "Resident memory by site", "bytes", 8,
              [(fleet("site:tarn_vm_bhyve_cpu_memoryuse:sum"), "{{site}}")],
              "rctl memoryuse of the site's bhyve processes together."),
        panel("timeseries", "Block throughput by site", "Bps", 8,
              [(fleet("site:tarn_vm_virtio_blk_bytes:rate5m"), "{{site}}")],
              "Bytes read and written per second, all block devices of the site together."),
        panel("timeseries", "Network throughput by site", "Bps", 8,
              [(fleet("site:tarn_vm_virtio_net_tx_bytes:rate5m"), "{{site}} sent"),
               (fleet("site:tarn_vm_virtio_net_rx_bytes:rate5m"), "{{site}} received")],
              "Bytes per second sent and received, all network devices of the site together."),
        panel("timeseries", "Busiest hosts (top 10 by vCPU run time)", "short", 8,
              [("topk(10, " + fleet("hostname:tarn_vm_bhyve_cpu_vcpu_runtime_seconds:rate5m", HOST)
                + ")", "{{site}} {{hostname}}")],
              "vCPU seconds run per second, all VMs of the host together."),
    ]),
    ("Host vCPU limit", [
        panel("stat", "vCPU-limit delay", "s", 4,
              [(metric("host_cpu_limit_delay_seconds", HOST), BY_HOST)],
              "hw.vmm.vcpu_limit.class.1.delay_ms, in seconds."),
        panel("stat", "vCPU-limit rate", "short", 4,
              [(metric("host_cpu_limit_rate_limit", HOST), BY_HOST)],
              "hw.vmm.vcpu_limit.class.1.rate_limit, as set in the kernel."),
        panel("stat", "vCPU-limit burst", "s", 4,
              [(metric("host_cpu_limit_burst_seconds", HOST), BY_HOST)],
              "hw.vmm.vcpu_limit.class.1.burst_secs."),
        panel("stat", "TSC frequency", "hertz", 4, [(metric("host_cpu_limit_hz", HOST), BY_HOST)],
              "machdep.tsc_freq."),
        panel("stat", "VMs by vCPU-limit class", "short", 8,
              [(f"count by (hostname, limit_class) ({metric('bhyve_cpu_vm_cpus', HOST)})",
                "{{hostname}} class {{limit_class}}")],
              "Running VMs per vCPU-limit class (vcpu_class of bhyvectl)."),
    ]),
    ("VM CPU", [
        busiest_table(
            "Busiest VMs over the time range (top 10 by vCPU run time)",
            "Averages over the dashboard's time range. vCPU run time and throttle sleep in "
            "seconds per second (1 = 100% = one vCPU all the time); block and network bytes per "
            "second, both directions together.",
            [("vCPU run time", "percentunit", TOP_VMS),
             ("Throttle sleep", "percentunit",
              of_top_vms(rate("bhyve_cpu_limit_sleeps_total", window="$__range"), " / 1000")),
             ("Block", "Bps", of_top_vms(" + ".join(
                 rate(f"virtio_blk_{op}_bytes_total", window="$__range")
                 for op in ("read", "write")))),
             ("Network", "Bps", of_top_vms(" + ".join(
                 rate(f"virtio_net_{d}_bytes_total", window="$__range") for d in ("tx", "rx"))))]),
        panel("timeseries", "vCPU run time", "percentunit", 8,
              [(rate("bhyve_cpu_vcpu_runtime_total"), BY_VM)],
              "vCPU seconds run per second, summed over the VM's vCPUs: 100% is one vCPU busy "
              "all the time."),
        panel("timeseries", "vCPU idle time", "percentunit", 8,
              [(rate("bhyve_cpu_idle_ticks_total"), BY_VM)],
              "vCPU seconds idle per second, summed over the VM's vCPUs (whole seconds: coarse "
              "over short ranges)."),
        panel("timeseries", "vCPU-limit throttle sleep", "percentunit", 8,
              [(f"{rate('bhyve_cpu_limit_sleeps_total')} / 1000", BY_VM)],
              "Seconds per second the VM's vCPUs slept because of their vCPU limit."),
        panel("timeseries", "vCPUs", "short", 12, [(metric("bhyve_cpu_vm_cpus"), BY_VM)],
              "Sockets x cores x threads."),
        panel("timeseries", "bhyve process CPU", "percent", 12,
              [(metric("bhyve_cpu_pcpu"), BY_VM)],
              "CPU use of the VM's bhyve process (rctl pcpu), percent of one CPU."),
    ]),
    ("VM memory", [
        panel("timeseries", "Resident memory (rctl)", "bytes", 8,
              [(metric("bhyve_cpu_memoryuse"), BY_VM)], "rctl memoryuse of the bhyve process."),
        panel("timeseries", "Virtual memory (rctl)", "bytes", 8,
              [(metric("bhyve_cpu_vmemoryuse"), BY_VM)], "rctl vmemoryuse of the bhyve process."),
        panel("timeseries", "Guest RSS (bhyvectl)", "bytes", 8,
              [(metric("bhyve_cpu_vm_rss"), BY_VM)], "Resident memory reported by bhyvectl."),
        panel("timeseries", "Wired memory (bhyvectl)", "bytes", 12,
              [(metric("bhyve_cpu_vm_wired"), BY_VM)], "Wired memory reported by bhyvectl."),
        panel("timeseries", "Balloon size (pages)", "short", 12,
              [(metric("virtio_balloon_pages"), BY_VM + " target"),
               (metric("virtio_balloon_actual"), BY_VM + " actual")],
              "Balloon size the host asks for (target) and the size the guest has reached."),
    ]),
    ("Block devices", [
        panel("timeseries", "Block throughput", "Bps", 12,
              [(rate(f"virtio_blk_{op}_bytes_total"), f"{BY_DEVICE} {op}")
               for op in ("read", "write", "trim")], "Bytes per second per device."),
        panel("timeseries", "Block operations", "iops", 12,
              [(rate(f"virtio_blk_{op}_iops_total"), f"{BY_DEVICE} {op}")
               for op in ("read", "write", "trim")], "Operations per second per device."),
        panel("timeseries", "Block bandwidth-limit usage", "percentunit", 12,
              [(f"({rate('virtio_blk_read_bytes_total')} + {rate('virtio_blk_write_bytes_total')})"
                f" / ({metric('virtio_blk_limit_bytes_per_second')} > 0)", BY_DEVICE)],
              "Bytes read and written per second over the device's bandwidth limit; devices "
              "without a limit are left out."),
        panel("timeseries", "Block operation-limit usage", "percentunit", 12,
              [(f"({rate('virtio_blk_read_iops_total')} + {rate('virtio_blk_write_iops_total')})"
                f" / ({metric('virtio_blk_limit_iops')} > 0)", BY_DEVICE)],
              "Read and write operations per second over the device's operation-rate limit; "
              "devices without a limit are left out."),
    ]),
    ("Network", [
        panel("timeseries", "Network throughput", "Bps", 12,
              [(rate("virtio_net_tx_bytes_total"), BY_DEVICE + " sent"),
               (rate("virtio_net_rx_bytes_total"), BY_DEVICE + " received")],
              "Bytes per second per device."),
        panel("timeseries", "Network packets", "pps", 12,
              [(rate("virtio_net_tx_pps_total"), BY_DEVICE + " sent"),
               (rate("virtio_net_rx_pps_total"), BY_DEVICE + " received")],
              "Packets per second per device."),
        panel("timeseries", "Network drops", "pps", 12,
              [(rate("virtio_net_tx_drops_total"), BY_DEVICE + " send"),
               (rate("virtio_net_rx_drops_total"), BY_DEVICE + " receive")],
              "Packets dropped per second per device."),
        panel("timeseries", "Network limit usage", "percentunit", 12,
              [(f"{rate('virtio_net_tx_bytes_total')} / "
                f"({metric('virtio_net_tx_limit_bytes_per_second')} > 0)", BY_DEVICE + " sent"),
               (f"{rate('virtio_net_rx_bytes_total')} / "
                f"({metric('virtio_net_rx_limit_bytes_per_second')} > 0)",
                BY_DEVICE + " received")],
              "Bytes per second over the device's limit of that direction; directions without "
              "a limit are left out."),
    ]),
    ("tarn-vm-perfdata health", [
        panel("timeseries", "Collection age", "s", 8,
              [(f"time() - {metric('exporter_collection_end_timestamp_seconds', HOST)}",
                BY_HOST)],
              "Seconds since the last collection ended; more than a few intervals means "
              "collection has stalled and scrapes repeat old figures."),
        panel("timeseries", "Collection duration", "s", 8,
              [(metric("exporter_collection_duration_seconds", HOST), BY_HOST),
               (metric("exporter_collection_interval_seconds", HOST), BY_HOST + " interval")],
              "Duration of the last finished collection, against the configured interval: "
              "above it, collections overrun."),
        panel("timeseries", "VMs found", "short", 8,
              [(metric("exporter_vms_found", HOST), BY_HOST)],
              "VMs the last collection found."),
        panel("timeseries", "Host-tool failures", "suffix:failures/s", 12,
              [(f"sum by (hostname, vm_id, tool, cause) "
                f"({rate('exporter_tool_failures_total', HOST)})",
                "{{hostname}} VM {{vm_id}} {{tool}} {{cause}}")],
              "bhyvectl and rctl runs that failed, by cause; that VM's figures from the tool "
              "are missing or zero meanwhile."),
        panel("timeseries", "Scrapes by status", "reqps", 12,
              [(f"sum by (hostname, code) ({rate('exporter_scrapes_total', HOST)})",
                "{{hostname}} {{code}}")],
              "Scrapes answered per second, by HTTP status code."),
        panel("timeseries", "InfluxDB lines", "suffix:lines/s", 12,
              [(rate("exporter_influx_lines_sent_total", HOST), BY_HOST + " sent"),
               (rate("exporter_influx_lines_refused_total", HOST), BY_HOST + " refused"),
               (f"sum by (hostname, reason) ({rate('exporter_influx_lines_dropped_total', HOST)})",
                BY_HOST + " dropped ({{reason}})")],
              "Lines per second the InfluxDB server accepted, refused (4xx) and the daemon "
              "dropped: no_buffer (posting failed without a retry buffer), buffer_full (the "
              "oldest, over buffer_limit)."),
        panel("timeseries", "InfluxDB lines buffered", "short", 12,
              [(metric("exporter_influx_lines_buffered", HOST), BY_HOST),
               (metric("exporter_influx_buffer_limit_lines", HOST), BY_HOST + " limit")],
              "Lines waiting in the retry buffer for the InfluxDB server, against its "
              "buffer_limit."),
    ]),
]

# InfluxQL: the variables' regexes, Grafana's time filter and interval.
IN_HOST = '"hostname" =~ /^$hostname$/'
IN_VM = IN_HOST + ' AND "vm_id" =~ /^$vm$/'
VM_TAGS = '"hostname", "vm_id"'
DEVICE_TAGS = '"hostname", "vm_id", "slot"'
AS_HOST = "$tag_hostname"
AS_VM = "$tag_hostname VM $tag_vm_id"
AS_DEVICE = "$tag_hostname VM $tag_vm_id slot $tag_slot $col"


def per_second(field):
    return f'non_negative_derivative(last("{field}"), 1s)'


def over_time(select, measurement, tags, where=IN_VM):
    return (f'SELECT {select} FROM "{measurement}" WHERE {where} AND $timeFilter '
            f"GROUP BY time($__interval), {tags} fill(none)")


def latest(field, measurement="host_cpu_limit"):
    return (f'SELECT last("{field}") FROM "{measurement}" WHERE {IN_HOST} AND $timeFilter '
            'GROUP BY "hostname"')


def both(template, fields, names):
    return ", ".join(f'{template.format(f)} AS "{n}"' for f, n in zip(fields, names))


def limit_usage(fields, limit, factor=""):
    rates = " + ".join(per_second(f) for f in fields)
    return f'({rates}) / (last("{limit}"){factor})'


INFLUX_ROWS = [
    ("Host vCPU limit", [
        panel("stat", "vCPU-limit delay", "ms", 4, [(latest("delay_ms"), AS_HOST)],
              "hw.vmm.vcpu_limit.class.1.delay_ms."),
        panel("stat", "vCPU-limit rate", "short", 4, [(latest("rate_limit"), AS_HOST)],
              "hw.vmm.vcpu_limit.class.1.rate_limit, as set in the kernel."),
        panel("stat", "vCPU-limit burst", "s", 4, [(latest("burst_secs"), AS_HOST)],
              "hw.vmm.vcpu_limit.class.1.burst_secs."),
        panel("stat", "TSC frequency", "hertz", 4, [(latest("hz"), AS_HOST)],
              "machdep.tsc_freq."),
        panel("stat", "VMs by vCPU-limit class", "short", 8,
              [('SELECT count("vm_cpus") FROM (SELECT last("vm_cpus") AS "vm_cpus" FROM '
                f'"bhyve_cpu" WHERE {IN_HOST} AND $timeFilter GROUP BY "hostname", "vm_id", '
                '"limit_class") GROUP BY "hostname", "limit_class"',
                "$tag_hostname class $tag_limit_class")],
              "VMs seen in the time range per vCPU-limit class (vcpu_class of bhyvectl)."),
    ]),
    ("VM CPU", [
        panel("table", "Busiest VMs over the time range (top 10 by vCPU run time)",
              "percentunit", 24,
              [('SELECT top("run", "hostname", "vm_id", 10) AS "vCPU run time", '
                '"sleep" AS "Throttle sleep" FROM (SELECT mean("run") AS "run", mean("sleep") '
                'AS "sleep" FROM (' + over_time(
                    f'{per_second("vcpu_runtime")} AS "run", '
                    f'{per_second("limit_sleeps")} / 1000 AS "sleep"', "bhyve_cpu", VM_TAGS)
                + f") GROUP BY {VM_TAGS})", "")],
              "Averages over the dashboard's time range, in seconds per second (1 = 100% = one "
              "vCPU all the time).", sort="vCPU run time"),
        panel("timeseries", "vCPU run time", "percentunit", 8,
              [(over_time(per_second("vcpu_runtime"), "bhyve_cpu", VM_TAGS), AS_VM)],
              "vCPU seconds run per second, summed over the VM's vCPUs: 100% is one vCPU busy "
              "all the time."),
        panel("timeseries", "vCPU idle time", "percentunit", 8,
              [(over_time(per_second("idle_ticks"), "bhyve_cpu", VM_TAGS), AS_VM)],
              "vCPU seconds idle per second, summed over the VM's vCPUs (whole seconds: coarse "
              "over short ranges)."),
        panel("timeseries", "vCPU-limit throttle sleep", "percentunit", 8,
              [(over_time(per_second("limit_sleeps") + " / 1000", "bhyve_cpu", VM_TAGS), AS_VM)],
              "Seconds per second the VM's vCPUs slept because of their vCPU limit (the field "
              "is in milliseconds)."),
        panel("timeseries", "vCPUs", "short", 12,
              [(over_time('last("vm_cpus")', "bhyve_cpu", VM_TAGS), AS_VM)],
              "Sockets x cores x threads."),
        panel("timeseries", "bhyve process CPU", "percent", 12,
              [(over_time('last("pcpu")', "bhyve_cpu", VM_TAGS), AS_VM)],
              "CPU use of the VM's bhyve process (rctl pcpu), percent of one CPU."),
    ]),
    ("VM memory", [
        *[panel("timeseries", title, "bytes", width,
                [(over_time(f'last("{field}")', "bhyve_cpu", VM_TAGS), AS_VM)], text)
          for title, width, field, text in (
              ("Resident memory (rctl)", 8, "memoryuse", "rctl memoryuse of the bhyve process."),
              ("Virtual memory (rctl)", 8, "vmemoryuse", "rctl vmemoryuse of the bhyve process."),
              ("Guest RSS (bhyvectl)", 8, "vm_rss", "Resident memory reported by bhyvectl."),
              ("Wired memory (bhyvectl)", 12, "vm_wired", "Wired memory reported by bhyvectl."))],
        panel("timeseries", "Balloon size (pages)", "short", 12,
              [(over_time(both('last("{}")', ("pages", "actual"), ("target", "actual")),
                          "virtio_balloon", VM_TAGS), AS_VM + " $col")],
              "Balloon size the host asks for (target) and the size the guest has reached."),
    ]),
    ("Block devices", [
        panel("timeseries", "Block throughput", "Bps", 12,
              [(over_time(both(per_second("{}"), ("read_bytes", "write_bytes", "trim_bytes"),
                               ("read", "write", "trim")), "virtio_blk", DEVICE_TAGS),
                AS_DEVICE)], "Bytes per second per device."),
        panel("timeseries", "Block operations", "iops", 12,
              [(over_time(both(per_second("{}"), ("read_iops", "write_iops", "trim_iops"),
                               ("read", "write", "trim")), "virtio_blk", DEVICE_TAGS),
                AS_DEVICE)], "Operations per second per device."),
        panel("timeseries", "Block bandwidth-limit usage", "percentunit", 12,
              [(over_time(limit_usage(("read_bytes", "write_bytes"), "limit_mbps", " * 125000")
                          + ' AS "usage"', "virtio_blk", DEVICE_TAGS,
                          IN_VM + ' AND "limit_mbps" > 0'), AS_DEVICE)],
              "Bytes read and written per second over the device's bandwidth limit (limit_mbps, "
              "Mbit/s); devices without a limit are left out."),
        panel("timeseries", "Block operation-limit usage", "percentunit", 12,
              [(over_time(limit_usage(("read_iops", "write_iops"), "limit_iops") + ' AS "usage"',
                          "virtio_blk", DEVICE_TAGS, IN_VM + ' AND "limit_iops" > 0'),
                AS_DEVICE)],
              "Read and write operations per second over the device's operation-rate limit; "
              "devices without a limit are left out."),
    ]),
    ("Network", [
        panel("timeseries", title, unit, 12,
              [(over_time(both(per_second("{}"), fields, names), "virtio_net", DEVICE_TAGS),
                AS_DEVICE)], text)
        for title, unit, fields, names, text in (
            ("Network throughput", "Bps", ("tx_bytes", "rx_bytes"), ("sent", "received"),
             "Bytes per second per device."),
            ("Network packets", "pps", ("tx_pps", "rx_pps"), ("sent", "received"),
             "Packets per second per device."),
            ("Network drops", "pps", ("tx_drops", "rx_drops"), ("send", "receive"),
             "Packets dropped per second per device."))
    ] + [
        panel("timeseries", "Network limit usage", "percentunit", 12,
              [(over_time(limit_usage((f"{d}_bytes",), f"{d}_limit_mbps", " * 125000")
                          + f' AS "{name}"', "virtio_net", DEVICE_TAGS,
                          IN_VM + f' AND "{d}_limit_mbps" > 0'), AS_DEVICE)
               for d, name in (("tx", "sent"), ("rx", "received"))],
              "Bytes per second over the device's limit of that direction (Mbit/s); directions "
              "without a limit are left out."),
    ]),
]


def prometheus_target(ref, query, legend, kind):
    target = {"datasource": {"type": "prometheus", "uid": "${datasource}"}, "refId": ref,
              "expr": query, "legendFormat": legend}
    if kind == "table":
        return {**target, "format": "table", "instant": True, "range": False}
    return {**target, "range": True}


def influx_target(ref, query, alias, kind):
    return {"datasource": {"type": "influxdb", "uid": "${datasource}"}, "refId": ref,
            "query": query, "rawQuery": True, "alias": alias,
            "resultFormat": "table" if kind == "table" else "time_series"}


def panel_json(spec, ident, grid, source, target):
    body = {"id": ident, "type": spec["kind"], "title": spec["title"],
            "description": spec["text"], "gridPos": grid,
            "datasource": {"type": source, "uid": "${datasource}"},
            "fieldConfig": {"defaults": {"unit": spec["unit"]},
                            "overrides": spec.get("overrides", [])},
            "targets": [target(chr(65 + i), query, legend, spec["kind"])
                        for i, (query, legend) in enumerate(spec["targets"])]}
    if spec["kind"] == "timeseries":
        body["fieldConfig"]["defaults"]["custom"] = {"fillOpacity": 10, "showPoints": "never"}
        body["fieldConfig"]["defaults"]["min"] = 0
        body["options"] = {"legend": {"displayMode": "list", "placement": "bottom",
                                      "showLegend": True},
                           "tooltip": {"mode": "multi", "sort": "desc"}}
    elif spec["kind"] == "stat":
        body["options"] = {"reduceOptions": {"calcs": ["lastNotNull"], "fields": "",
                                             "values": False},
                           "colorMode": "none", "graphMode": "area", "textMode": "auto",
                           "justifyMode": "auto", "orientation": "auto"}
    else:
        transformations = []
        if len(spec["targets"]) > 1:
            transformations.append({"id": "merge", "options": {}})
        transformations.append({"id": "organize", "options": {
            "excludeByName": {"Time": True}, "indexByName": {},
            "renameByName": {"hostname": "Host", "vm_id": "VM", **spec.get("renames", {})}}})
        body["transformations"] = transformations
        body["options"] = {"showHeader": True, "footer": {"show": False},
                           "sortBy": [{"displayName": spec["sort"], "desc": True}]}
    return body


def dashboard(title, uid, source, rows, variables, target, match_all=()):
    panels, ident, y = [], 1, 0
    for row_title, specs in rows:
        panels.append({"id": ident, "type": "row", "title": row_title, "collapsed": False,
                       "gridPos": {"h": 1, "w": 24, "x": 0, "y": y}, "panels": []})
        ident, y, x, line_height = ident + 1, y + 1, 0, 0
        for spec in specs:
            height = {"stat": 4, "table": 8, "timeseries": 8}[spec["kind"]]
            if x + spec["width"] > 24:
                x, y, line_height = 0, y + line_height, 0
            grid = {"h": height, "w": spec["width"], "x": x, "y": y}
            panels.append(panel_json(spec, ident, grid, source, target))
            ident, x, line_height = ident + 1, x + spec["width"], max(line_height, height)
        y += line_height
    choose = [{"name": "datasource", "label": "Data source", "type": "datasource",
               "query": source, "current": {}, "hide": 0, "includeAll": False, "multi": False,
               "options": [], "refresh": 1, "regex": "", "skipUrlSync": False}]
    for name, label, query in variables:  # host names sorted alphabetically, numbers by value
        choose.append({"name": name, "label": label, "type": "query",
                       "datasource": {"type": source, "uid": "${datasource}"},
                       "definition": query, "query": query, "current": {}, "hide": 0,
                       "includeAll": True, "multi": True, "options": [], "refresh": 2,
                       "regex": "", "skipUrlSync": False,
                       "sort": 1 if name in ("site", "hostname") else 3})
        if name in match_all:  # a fleet's hundreds of hosts would make "All" a huge regex
            choose[-1]["allValue"] = ".*"
    return {"title": title, "uid": uid,
            "description": "Per-VM figures of bhyve hosts exported by tarn-vm-perfdata.",
            "tags": ["tarn-vm-perfdata", "bhyve"], "editable": True, "graphTooltip": 1,
            "links": [], "panels": panels, "refresh": "1m", "schemaVersion": 37,
            "templating": {"list": choose},
            "time": {"from": "now-6h", "to": "now"}, "timepicker": {}, "timezone": "",
            "version": 1, "weekStart": ""}


def prometheus_dashboard():
    cpus, hz = f"{PREFIX}_bhyve_cpu_vm_cpus", f"{PREFIX}_host_cpu_limit_hz"
    return dashboard("tarn-vm-perfdata (Prometheus)", "tarn-vm-perfdata-prometheus",
                     "prometheus", PROMETHEUS_ROWS, [
                         ("site", "Site", f"label_values({hz}, site)"),
                         ("hostname", "Host", f"label_values({hz}{{{SITE}}}, hostname)"),
                         ("vdc", "VDC", f"label_values({cpus}{{{HOST}}}, vdc_id)"),
                         ("vm", "VM", f'label_values({cpus}{{{HOST}, vdc_id=~"$vdc"}}, vm_id)')],
                     prometheus_target, match_all=("site", "hostname"))


def influx_dashboard():
    tag_values = 'SHOW TAG VALUES FROM "{}" WITH KEY = "{}"'
    return dashboard("tarn-vm-perfdata (InfluxDB)", "tarn-vm-perfdata-influxdb", "influxdb",
                     INFLUX_ROWS, [
                         ("hostname", "Host", tag_values.format("host_cpu_limit", "hostname")),
                         ("vdc", "VDC", tag_values.format("bhyve_cpu", "vdc_id")
                          + f" WHERE {IN_HOST}"),
                         ("vm", "VM", tag_values.format("bhyve_cpu", "vm_id")
                          + f' WHERE {IN_HOST} AND "vdc_id" =~ /^$vdc$/')],
                     influx_target)


FILES = {"tarn-vm-perfdata-prometheus.json": prometheus_dashboard,
         "tarn-vm-perfdata-influxdb.json": influx_dashboard}


def main(directory):
    for name, build in FILES.items():
        with open(os.path.join(directory, name), "w") as f:
            f.write(json.dumps(build(), indent=2) + "\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
