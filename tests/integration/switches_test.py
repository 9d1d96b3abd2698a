#!/usr/bin/env python3
"""The "-zarejestruj" switch as a user runs it, and the folder lookups.

Linux: a temporary HOME, XDG_CONFIG_HOME and TMPDIR; the desktop entry must
pass desktop-file-validate, name the program (in a folder with blanks) and be
replaced by a second run; with five more arguments nothing is posted (a
listener on port 119 must see no connection). Windows under wine: a copy
of the prefix with a real Desktop folder; the .lnk is read back through the
shell-link object, and the program-files and common-files lookups are
checked against values put into that copy's registry.
"""
import getpass
import os
import shutil
import socket
import stat
import subprocess
import tempfile

import wine_prefix
from harness import check, finish, options, run

opts = options("--program", "--tools", "--work", "--listen-address")


def exec_arguments(value):
    """Splits a desktop entry's Exec value the way a launcher does."""
    text, i = "", 0
    while i < len(value):  # the string escapes first
        if value[i] == "\\" and i + 1 < len(value):
            text += {"s": " ", "n": "\n", "t": "\t", "r": "\r", "\\": "\\"}.get(value[i + 1], "\\" + value[i + 1])
            i += 2
        else:
            text += value[i]
            i += 1
    args, cur, quoted, have, i = [], "", False, False, 0
    while i < len(text):
        c = text[i]
        if quoted and c == "\\" and i + 1 < len(text):
            cur += text[i + 1]
            i += 2
            continue
        if c == '"':
            quoted, have = not quoted, True
        elif c == " " and not quoted:
            if have:
                args.append(cur.replace("%%", "%"))
            cur, have = "", False
        else:
            cur, have = cur + c, True
        i += 1
    if have:
        args.append(cur.replace("%%", "%"))
    return args


def entry_of(path):
    fields = {}
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if "=" in line:
                k, v = line.split("=", 1)
                fields[k] = v
    return fields


def linux():
    tmp = tempfile.mkdtemp(prefix="kestrun-switches-")
    try:
        home, config = os.path.join(tmp, "home"), os.path.join(tmp, "config")
        desktop = os.path.join(home, "Pulpit")
        os.makedirs(desktop)
        os.makedirs(config)
        os.makedirs(os.path.join(tmp, "t"))
        with open(os.path.join(config, "user-dirs.dirs"), "w") as f:
            f.write('XDG_DESKTOP_DIR="$HOME/Pulpit"\n')
        folder = os.path.join(tmp, "prog dir $1 'x'")
        os.makedirs(folder)
        program = os.path.join(folder, "kestrun")
        shutil.copy2(opts.program, program)
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=config, TMPDIR=os.path.join(tmp, "t"),
                   LANG="C.UTF-8", LC_ALL="C.UTF-8")

        r = run([program, "-zarejestruj"], env)
        check("-zarejestruj: exit 0, silent", r.returncode == 0 and r.stdout == b"" and r.stderr == b"")
        entry = os.path.join(desktop, "Kestrun.desktop")
        check("the entry is on the XDG desktop", os.path.isfile(entry))
        if not os.path.isfile(entry):
            return
        check("the entry is executable", os.stat(entry).st_mode & stat.S_IXUSR != 0)
        v = subprocess.run(["desktop-file-validate", entry], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check("desktop-file-validate accepts it: %r" % v.stdout, v.returncode == 0 and b"error" not in v.stdout)
        fields = entry_of(entry)
        check("Exec names the program: %r" % fields.get("Exec"), exec_arguments(fields.get("Exec", "")) == [program])
        check("Path is the program's folder", fields.get("Path") == folder + "/")
        check("Name, Terminal and Type", fields.get("Name") == "Kestrun" and fields.get("Terminal") == "true"
              and fields.get("Type") == "Application")

        first = open(entry, "rb").read()
        with open(entry, "wb") as f:
            f.write(b"stale")
        r = run([program, "-zarejestruj"], env)
        check("a second run replaces the entry", r.returncode == 0 and open(entry, "rb").read() == first)
        check("no temporary file is left on the desktop", os.listdir(desktop) == ["Kestrun.desktop"])

        # A folder whose name is not UTF-8 ("Łódź" in Windows-1250): the entry
        # stays UTF-8 and still starts that very program in that folder.
        odd = os.path.join(tmp.encode(), b"\xa3\xf3d\x9f 'x' $1%")
        os.makedirs(odd)
        odd_program = os.path.join(odd, b"kestrun")
        shutil.copy2(opts.program, odd_program)
        r = run([odd_program, "-zarejestruj"], env)
        v = subprocess.run(["desktop-file-validate", entry], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check("a folder name that is not UTF-8: a valid entry %r" % v.stdout,
              r.returncode == 0 and v.returncode == 0 and b"error" not in v.stdout)
        args = exec_arguments(entry_of(entry).get("Exec", ""))
        started = subprocess.run([a.encode() for a in args], env=env, cwd=tmp,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # The command changes into the folder before it starts the program,
        # so a folder it could not find would start nothing.
        check("... whose command starts the program in its folder: %r" % args,
              started.returncode == 1 and b"Kestrun" in started.stdout and "Path" not in entry_of(entry))

        os.unlink(entry)
        r = run([program, "-Zarejestruj"], env)
        check("-Zarejestruj is no switch: help, exit 1", r.returncode == 1 and not os.path.exists(entry))

        if os.geteuid() != 0:
            print("skip the listener: binding port 119 needs root")
            return
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind((opts.listen_address, 119))
        listener.listen(5)
        try:
            article = os.path.join(tmp, "article.txt")
            with open(article, "w") as f:
                f.write("body\n")
            r = run([program, "-zarejestruj", opts.listen_address, "a <a@b.invalid>", "pl.test", "s", article], env)
            listener.settimeout(0)
            try:
                listener.accept()[0].close()
                connected = True
            except BlockingIOError:
                connected = False
            check("-zarejestruj with five more arguments: shortcut, no connection, exit 0",
                  r.returncode == 0 and r.stdout == b"" and not connected and os.path.isfile(entry))
            # The listener does see a posting run, so the check above can fail.
            listener.settimeout(60)
            # No retries: the listener takes one connection only, and a
            # connection dropped before the greeting is otherwise made again.
            p = subprocess.Popen([program, opts.listen_address, "a <a@b.invalid>", "pl.test", "s", article],
                                 env=dict(env, KESTRUN_RETRIES="0"), stdout=subprocess.PIPE)
            conn, _ = listener.accept()
            conn.close()
            out, _ = p.communicate(timeout=60)
            check("control: a posting run connects to the listener", p.returncode == 2)
        finally:
            listener.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def wine():
    prefix = wine_prefix.prepare(opts.work, "wine-tests")
    env = wine_prefix.environment(prefix)
    key = r"HKLM\Software\Microsoft\Windows\CurrentVersion"

    def reg(*args):
        subprocess.run(["wine", "reg"] + list(args) + ["/f"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    try:
        user = getpass.getuser()
        desktop = os.path.join(prefix, "drive_c", "users", user, "Desktop")
        for name in os.listdir(desktop):
            os.unlink(os.path.join(desktop, name))
        r = run([opts.program, "-zarejestruj"], env)
        link = os.path.join(desktop, "Kestrun.lnk")
        check("-zarejestruj: exit 0 and Kestrun.lnk on the desktop", r.returncode == 0 and os.path.isfile(link))
        target = wine_prefix.to_windows(env, os.path.abspath(opts.program))
        want = [target, "", target[: target.rfind("\\") + 1]]

        def read_back():
            t = run([opts.tools, "link", "C:\\users\\%s\\Desktop\\Kestrun.lnk" % user], env)
            return t.returncode, t.stdout.decode("cp1250").replace("\r", "").split("\n")[:3]

        rc, got = read_back()
        check("the link reads back: %r, want %r" % (got, want),
              rc == 0 and [g.lower() for g in got] == [w.lower() for w in want])
        with open(link, "wb") as f:
            f.write(b"stale")
        r = run([opts.program, "-zarejestruj"], env)
        rc, got2 = read_back()
        check("a second run replaces the link", r.returncode == 0 and rc == 0 and got2 == got)
        check("only the link is on the desktop", os.listdir(desktop) == ["Kestrun.lnk"])

        def folders():
            t = run([opts.tools, "folders"], env)
            return t.stdout.decode("cp1250").replace("\r", "").split("\n")

        f = folders()
        check("temporary, Windows and system folders: %r" % f[:3],
              f[0].endswith("\\") and f[1].lower() == "c:\\windows\\" and f[2].lower() == "c:\\windows\\system32\\")
        check("program-files and common-files folders from the registry: %r" % f[3:5],
              f[3] == "C:\\Program Files\\" and f[4] == "C:\\Program Files\\Common Files\\")
        reg("add", key, "/v", "ProgramFilesDir", "/d", "D:\\Aplikacje")
        reg("add", key, "/v", "CommonFilesDir", "/d", "D:\\Wspolne\\")
        f = folders()
        check("values read from the registry: %r" % f[3:5], f[3] == "D:\\Aplikacje\\" and f[4] == "D:\\Wspolne\\")
        reg("delete", key, "/v", "ProgramFilesDir")
        reg("add", key, "/v", "ProgramFilesPath", "/t", "REG_EXPAND_SZ", "/d", "%SystemDrive%\\Programy")
        f = folders()
        check("ProgramFilesPath, expanded, when ProgramFilesDir is missing: %r" % f[3], f[3] == "C:\\Programy\\")
        reg("delete", key, "/v", "ProgramFilesPath")
        reg("delete", key, "/v", "CommonFilesDir")
        f = folders()
        check("fallbacks when neither value exists: %r" % f[3:5],
              f[3] == "C:\\Program Files\\" and f[4] == "C:\\Program Files\\Common Files\\")
    finally:
        reg("add", key, "/v", "ProgramFilesDir", "/d", "C:\\Program Files")
        reg("add", key, "/v", "CommonFilesDir", "/d", "C:\\Program Files\\Common Files")
        wine_prefix.stop(prefix)


wine() if opts.windows else linux()
finish()
