#!/usr/bin/env python3
"""Runs a test program with host names of its own and an IPv6 address that
never answers.

The names come from a hosts file seen only by the program: it runs in a
mount namespace of its own, with the file mounted over /etc/hosts (root
only; without it the program is told there are no names, and skips the
cases that need them). The machine's /etc/hosts is never touched.

An address that never answers a connection attempt: a listener on ::1 with
a queue of one, filled by a connection of our own, so that the kernel drops
every further SYN. Its port goes to the program in KESTRUN_TEST_SILENT_PORT.

usage: names_env.py HOSTS-FILE -- COMMAND...
"""
import os
import socket
import subprocess
import sys


def main():
    hosts, command = sys.argv[1], sys.argv[sys.argv.index("--") + 1:]
    silent = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    try:
        silent.bind(("::1", 0))
    except OSError as e:
        # A machine (or container) with IPv6 switched off: nothing to test.
        print("names_env: no IPv6 loopback address here (%s): skipped" % e, file=sys.stderr)
        return 77
    silent.listen(0)
    port = silent.getsockname()[1]
    filler = socket.create_connection(("::1", port))
    env = dict(os.environ, KESTRUN_TEST_SILENT_PORT=str(port))
    private = ["unshare", "-m", "sh", "-c",
               'mount --bind "$0" /etc/hosts && exec "$@"', hosts] + command
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True)
    if probe.returncode == 0:
        env["KESTRUN_TEST_NAMES"] = "1"
        rc = subprocess.call(private, env=env)
    else:
        print("names_env: no mount namespace here (not root?): the named cases are skipped",
              file=sys.stderr)
        rc = subprocess.call(command, env=env)
    filler.close()
    silent.close()
    return rc


if __name__ == "__main__":
    sys.exit(main())
