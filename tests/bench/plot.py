#!/usr/bin/env python3
"""Draws the benchmark figures as one SVG with gnuplot: reading (from the
replay server), posting (to INN), and both over TLS (NNTPS to INN), wall
time and CPU time against size, one line per client.

    plot.py RESULTS.csv OUT.svg

RESULTS.csv lines: kind,target,case,client,size_mb,wall_ms,cpu_ms,peak_mb
"""
import collections
import subprocess
import sys

csv_path, svg_path = sys.argv[1], sys.argv[2]
series = collections.defaultdict(list)  # (panel, client) -> [(size, wall, cpu)]
for line in open(csv_path):
    kind, target, case, client, size, wall, cpu, peak = line.strip().split(",")
    if kind == "reading" and target == "replay":
        panel = "read-xover" if case.startswith("XOVER") else "read-article"
    elif kind == "posting" and target == "private INN":
        panel = "post"
    elif kind == "tls":
        panel = "tls-read" if case.startswith("XOVER") else "tls-post"
    else:
        continue
    series[(panel, client)].append((float(size), float(wall), float(cpu)))

colours = {"kestrun": "#1f77b4", "nntpfetch": "#1f77b4", "ceiling": "#2ca02c", "nntplib": "#d62728",
           "inews": "#ff7f0e", "kestrun clear": "#9467bd", "nntpfetch clear": "#9467bd"}
titles = {"read-xover": "Reading an overview (XOVER) from a replay server",
          "read-article": "Reading an article (ARTICLE) from a replay server",
          "post": "Posting an article to INN",
          "tls-read": "Reading an overview over NNTPS from INN",
          "tls-post": "Posting an article over NNTPS to INN"}
script = ['set terminal svg size 1200,1660 font "sans,11" background "white"',
          'set output "%s"' % svg_path, "set multiplot layout 5,2",
          "set logscale xy", "set grid", "set key top left", "set xlabel 'size (MB)'"]
for panel in ("read-xover", "read-article", "post", "tls-read", "tls-post"):
    for col, what in ((2, "wall time (ms)"), (3, "CPU time (ms)")):
        plots = []
        for (p, client), points in sorted(series.items()):
            if p != panel:
                continue
            name = "$%s_%s" % (panel.replace("-", "_"), client.replace(" ", "_"))
            script.append("%s << EOD" % name)
            script += ["%g %g %g" % pt for pt in sorted(points)]
            script.append("EOD")
            plots.append("%s using 1:%d with linespoints lw 2 pt 7 lc rgb '%s' title '%s'"
                         % (name, col, colours.get(client, "black"), client))
        script.append("set title '%s: %s'" % (titles[panel], what))
        script.append("set ylabel '%s'" % what)
        script.append("plot " + ", ".join(plots) if plots else "clear")
script.append("unset multiplot")
subprocess.run(["gnuplot"], input="\n".join(script).encode(), check=True)
print("wrote", svg_path)
