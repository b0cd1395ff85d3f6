#!/usr/bin/env python3
"""The Grafana dashboard of packaging/ imports into Grafana 10: valid JSON with the fields
its dashboard schema requires, a Prometheus data source to choose on import, panels laid
out on the 24-column grid, and queries that name only metrics the server exports, read
from a real server's /metrics.

Usage: check-dashboard.py DASHBOARD SERVER-BINARY FIRST-SETTINGS-BINARY"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

dashboard_path, server, first_settings = sys.argv[1:4]
problems = []


def require(condition, text):
    if not condition:
        problems.append(text)


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exported_metrics():
    """The sample and family names of a real server's /metrics."""
    work = tempfile.mkdtemp(prefix="quorvane-dashboard-")
    try:
        shutil.copy(server, work)
        metrics = free_port(socket.SOCK_STREAM)
        subprocess.run([first_settings, os.path.join(work, "QuorvaneService.xml"), "bind-ip=127.0.0.1",
                        "hostport=%d" % free_port(socket.SOCK_STREAM), "soundport=%d" % free_port(socket.SOCK_DGRAM),
                        "metrics-address=127.0.0.1:%d" % metrics], check=True)
        process = subprocess.Popen([os.path.join(work, os.path.basename(server)), "-d"], cwd=work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while True:  # until the server answers, or the deadline
                try:
                    text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics, timeout=5).read().decode()
                    break
                except OSError:
                    if process.poll() is not None or time.monotonic() > deadline:
                        sys.exit("FAIL: the server gave no metrics")
                    time.sleep(0.1)
        finally:
            process.send_signal(signal.SIGINT)
            process.wait(timeout=60)
        names = set(re.findall(r"^(quorvane_\w+)", text, re.M)) | set(re.findall(r"^# TYPE (\w+)", text, re.M))
        return names
    finally:
        shutil.rmtree(work)


dashboard = json.load(open(dashboard_path))
# What Grafana 10's dashboard schema requires, and what its import asks for.
for field, kind in [("title", str), ("uid", str), ("editable", bool), ("graphTooltip", int), ("schemaVersion", int),
                    ("time", dict), ("panels", list), ("templating", dict), ("__inputs", list)]:
    require(isinstance(dashboard.get(field), kind), "the dashboard's %s is missing or not a %s" % (field, kind.__name__))
require(36 <= dashboard.get("schemaVersion", 0) <= 39, "schemaVersion is not one of Grafana 10's")
inputs = {"${%s}" % i.get("name") for i in dashboard.get("__inputs", []) if i.get("pluginId") == "prometheus"}
require(inputs, "no Prometheus data source to choose on import")

queries = []
ids = set()
for panel in dashboard.get("panels", []):
    what = "panel %r" % panel.get("title")
    require(isinstance(panel.get("id"), int) and panel["id"] not in ids, what + ": no id of its own")
    ids.add(panel.get("id"))
    require(panel.get("type") in ("timeseries", "stat"), what + ": a type Grafana 10 does not have built in")
    grid = panel.get("gridPos", {})
    require(all(isinstance(grid.get(k), int) for k in "hwxy") and grid.get("x", 0) + grid.get("w", 0) <= 24,
            what + ": gridPos is not h, w, x, y within 24 columns")
    require(panel.get("datasource", {}).get("uid") in inputs, what + ": its data source is not the one chosen on import")
    refs = [t.get("refId") for t in panel.get("targets", [])]
    require(refs and len(set(refs)) == len(refs), what + ": no queries, or queries without refIds of their own")
    queries += [t.get("expr", "") for t in panel.get("targets", [])]
for variable in dashboard.get("templating", {}).get("list", []):
    queries.append(variable.get("definition", ""))

named = set(re.findall(r"\bquorvane_\w+", " ".join(queries)))
exported = exported_metrics()
for name in sorted(named - exported):
    problems.append("a query names %s, which the server does not export" % name)
for wanted in ["quorvane_users_online", "quorvane_voice_datagrams_relayed_total",
               "quorvane_voice_datagrams_dropped_total", "quorvane_voice_relay_latency_seconds_bucket",
               "quorvane_output_queue_bytes", "quorvane_failed_saves_total", "quorvane_transfers_running"]:
    require(wanted in named, "no panel shows " + wanted)

for problem in problems:
    print("FAIL: " + problem)
if not problems:
    print("The dashboard has %d panels whose queries name %d metrics, all exported." % (len(ids), len(named)))
sys.exit(1 if problems else 0)
