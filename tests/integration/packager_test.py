#!/usr/bin/env python3
"""The "-nainternet" switch as the maker runs it, checked from outside.

The program is published into a temporary root and the tree is checked byte
for byte by this script's own reckoning: the content is what the compressor
makes of the program, the markers are recomputed from stat(), localtime()
and the version the build gave the program, the lists from the names. A
second run must change nothing; a newer version or date publishes again;
the setup project is written twice with the same bytes. On Linux the real `compress` runs and every
failure shows its message on standard error; under wine a stand-in
compressor on the wine search path records how it was called (message boxes
block there, so the failures are checked by the unit tests, which answer the
boxes from a thread).
"""
import errno
import os
import resource
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time

import wine_prefix
from harness import check, finish, options, read, run

opts = options("--program", "--tools", "--work", "--fake-compress", "--file-version", "--name")
parts = [int(p) for p in opts.file_version.split(".")]
VERSION = struct.pack("<II", parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])
TRANSFER = "Błąd transferu: Któregoś z plików nie udało się wysłać. Instalacja wstrzymana !\n"


def dos_date(path):
    t = time.localtime(os.stat(path).st_mtime)
    date = (t.tm_year - 1980) << 9 | t.tm_mon << 5 | t.tm_mday
    return struct.pack("<I", date << 16 | t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2)


def snapshot(*folders):
    files = {}
    for folder in folders:
        for d, _, names in os.walk(folder):
            for n in names:
                st = os.stat(os.path.join(d, n))
                files[os.path.join(d, n)] = (st.st_mtime_ns, st.st_size)
    return files


def leftovers(folder):
    return [n for _, _, names in os.walk(folder) for n in names if n.startswith("qz")]


def check_tree(label, root_u, publication_u, record_u, name, content, program_u, rest):
    """The content, the markers, the record and the two lists."""
    zaw = os.path.join(publication_u, name + ".zawartosc")
    check(label + ": content is the compressor's output", read(zaw) == content)
    check(label + ": .dlugosc", read(zaw + ".dlugosc") == struct.pack("<I", len(content)))
    version = VERSION if rest.endswith(("kestrun", "kestrun.exe")) else b"\0" * 8
    check(label + ": .wersja", read(zaw + ".wersja") == version)
    check(label + ": .data from stat and localtime", read(zaw + ".data") == dos_date(program_u))
    rec = os.path.join(record_u, name + ".zawartosc")
    check(label + ": the record in the temporary folder",
          read(rec + ".wersja") == version and read(rec + ".data") == dos_date(program_u))
    line = ("P" + rest).encode("cp1250")
    check(label + ": start.start",
          read(os.path.join(root_u, "start.start")) == line + b"," + opts.name.encode() + b"\r\n")
    check(label + ": the program's list",
          read(os.path.join(publication_u, name + ".install")) == line + b"\r\n")


def expected_project(folder_text, exe_path, size, disks):
    exe_name = os.path.basename(exe_path.replace("\\", "/"))
    lines = [
        "[InstallShield Wizard]", "DevTool=Kestrun C++20", "Version=1.11", "Platform=Win32",
        "DisksDir=%s\\144MB\\" % disks, "",
        "[VisualDesign]", "AppName=" + opts.name, "Title=" + opts.name, "Company=Lumkarey",
        "TitleType=1", "BackgrndAlign=4", "Backgrnd=1", "BackgrndColor=0", "Uninstall=1", "Silent=1",
        "SmsMode=0", "AppExe=[Pliki programu1]\\" + exe_name,
        "Version=" + opts.file_version, "",
        "[Sequence]", "DestinationLocationDir=<ProgramFilesDir>\\" + folder_text,
        "SelectProgramFolderName=" + opts.name, "",
        "[Groups]", "Groups=1", "Group1Name=Pliki programu1", "Group1Dir=<ProgramFilesDir>\\" + folder_text,
        "Group1File1=" + exe_path, "Group1Files=1", "Group1Size=%d" % size, "",
        "[Ext]", "Ext1Param1=[Pliki programu1]\\" + exe_name,
        "Ext1Param2=-zarejestruj", "Ext1Param4=1", "Ext1Dlg=Exit Install", "Ext1Op=EXE", "",
        "[Components]", "Components=1", "Component1Name=Pliki programu",
        "Component1Description=Pliki niezbędne do pracy programu", "Component1Groups=1",
        "Component1GroupList=1", "",
        "[Types]", "Types=1", "Type1Components=1", "Type1Name=Kompletna", "Type1ComponentList=1",
    ]
    return "".join(l + "\r\n" for l in lines).encode("cp1250")


def linux():
    tmp = tempfile.mkdtemp(prefix="kestrun-packager-")
    # The program-files folder of the Linux program is /opt.
    top = "kestrun test %d" % os.getpid()
    opt = os.path.join("/opt", top)
    try:
        folder = os.path.join(opt, "prog dir")
        os.makedirs(folder)
        program = os.path.join(folder, "kestrun")
        shutil.copy2(opts.program, program)
        temp = os.path.join(tmp, "t")
        os.makedirs(temp)
        env = dict(os.environ, TMPDIR=temp, HOME=tmp, LANG="C.UTF-8", LC_ALL="C.UTF-8")
        root = os.path.join(tmp, "pub root")
        rest = top + "/prog dir/kestrun"
        publication = os.path.join(root, "P", top, "prog dir")
        record = os.path.join(temp, publication.lstrip("/"))

        r = run([program, "-nainternet", root], env)  # no trailing separator: one is added
        check("publication: exit 0, nothing shown %r" % r.stderr,
              r.returncode == 0 and r.stdout == b"" and r.stderr == b"")
        content = subprocess.run(["compress", "-c", program], stdout=subprocess.PIPE).stdout
        check_tree("first run", root, publication, record, "kestrun", content, program, rest)
        check("the record copy of start.start", read(os.path.join(temp, root.lstrip("/"), "start.start")) ==
              read(os.path.join(root, "start.start")))
        check("no temporary qz file is left", leftovers(temp) == [])

        before = snapshot(root, temp)
        r = run([program, "-nainternet", root + "/"], env)
        check("a second run writes nothing", r.returncode == 0 and snapshot(root, temp) == before)

        with open(os.path.join(record, "kestrun.zawartosc.wersja"), "wb") as f:
            f.write(struct.pack("<II", parts[0] << 16, 0) if parts[1] or parts[2] or parts[3]
                    else struct.pack("<II", (parts[0] - 1) << 16, 0))
        zaw = os.path.join(publication, "kestrun.zawartosc")
        os.utime(zaw, ns=(0, 0))
        r = run([program, "-nainternet", root + "/"], env)
        check("a newer version than the record is published again",
              r.returncode == 0 and os.stat(zaw).st_mtime_ns != 0 and
              read(os.path.join(record, "kestrun.zawartosc.wersja")) == VERSION)

        # Without a version resource the date decides.
        bare_folder = os.path.join(opt, "bare")
        os.makedirs(bare_folder)
        bare = os.path.join(bare_folder, "kestrun")
        subprocess.run(["objcopy", "--remove-section=.versioninfo", program, bare], check=True)
        r = run([bare, "-nainternet", root + "/"], env)
        bare_pub = os.path.join(root, "P", top, "bare")
        bare_rec = os.path.join(temp, bare_pub.lstrip("/"))
        check("a program without version resource is published with version 0",
              r.returncode == 0 and read(os.path.join(bare_pub, "kestrun.zawartosc.wersja")) == b"\0" * 8
              and read(os.path.join(bare_pub, "kestrun.zawartosc.data")) == dos_date(bare))
        before = snapshot(root, temp)
        run([bare, "-nainternet", root + "/"], env)
        check("... and skipped while its date is unchanged", snapshot(root, temp) == before)
        later = os.stat(bare).st_mtime + 10
        os.utime(bare, (later, later))
        run([bare, "-nainternet", root + "/"], env)
        check("... and published again with a newer date",
              read(os.path.join(bare_pub, "kestrun.zawartosc.data")) == dos_date(bare) and
              read(os.path.join(bare_rec, "kestrun.zawartosc.data")) == dos_date(bare))
        check("start.start names both programs once",
              read(os.path.join(root, "start.start")) ==
              ("P%s,%s\r\nP%s/bare/kestrun,kestrun\r\n" % (rest, opts.name, top)).encode())

        project = os.path.join(folder, "kestrun.iwz")
        want = expected_project(top + "/prog dir/", program, os.path.getsize(program), "kestrun")
        r1 = run([program, "-nainternet", "is"], env)
        first = read(project)
        r2 = run([program, "-nainternet", "is"], env)
        check("setup project, twice, byte for byte",
              r1.returncode == 0 and r2.returncode == 0 and first == want and read(project) == want)
        if first != want:
            print(first.decode("cp1250"))

        def failure(label, root_arg, expect, path=None, cwd=None):
            e = dict(env)
            if path is not None:
                e["PATH"] = path
            r = run([program, "-nainternet"] + ([root_arg] if root_arg is not None else []), e, cwd)
            got = r.stderr.decode("utf-8", "replace")
            want = "".join("Ostrzeżenie: %s\n" % m for m in expect) + TRANSFER
            check(label + (": %r" % got if got != want else ""), r.returncode == 0 and got == want)

        general = "Nie można skopiować pliku %s (kestrun)" % program
        open(os.path.join(tmp, "plain"), "w").close()
        failure("unwritable root", os.path.join(tmp, "plain", "pub"),
                ['Nie można utworzyć katalogu "%s/plain/pub/P/%s/prog dir/"' % (tmp, top), general])
        no_tool = 'Nie można skompresować pliku źródłowego "%s"' % program
        failure("missing compressor", os.path.join(tmp, "pub3"), [no_tool, general], path=os.path.join(tmp, "none"))
        bin_dir = os.path.join(tmp, "bin")
        os.makedirs(bin_dir)
        with open(os.path.join(bin_dir, "compress"), "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(os.path.join(bin_dir, "compress"), 0o755)
        failure("failing compressor", os.path.join(tmp, "pub4"), [no_tool, general],
                path=bin_dir + ":" + os.environ.get("PATH", ""))
        check("a failed compression writes no markers",
              not os.path.exists(os.path.join(tmp, "pub4", "P", top, "prog dir", "kestrun.zawartosc.dlugosc")))
        empty_cwd = os.path.join(tmp, "cwd")
        os.makedirs(empty_cwd)
        failure("empty root", None, [general], cwd=empty_cwd)
        check("an empty root writes nothing into the current folder", os.listdir(empty_cwd) == [])
        check("no temporary qz file is left after the failures", leftovers(temp) == [])
        full_disk(program, env, root, publication, record, general, bin_dir)
        stop_hung_compressor(program, env, tmp, general)
        stop_large_copy(program, env, tmp, general)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        shutil.rmtree(opt, ignore_errors=True)


def full_disk(program, env, root, publication, record, general, bin_dir):
    """A republication that runs out of room leaves the published tree as it was.

    The room is a file size limit on kestrun alone (the compressor raises it
    again), so the copy into the tree is what fails, as on a full disk.
    """
    wrapper = os.path.join(bin_dir, "compress")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nulimit -f unlimited\nexec %s \"$@\"\n" % shutil.which("compress"))
    zaw = os.path.join(publication, "kestrun.zawartosc")
    tree = {n: read(os.path.join(publication, n)) for n in os.listdir(publication)}
    with open(os.path.join(record, "kestrun.zawartosc.wersja"), "wb") as f:
        f.write(b"\0" * 8)  # the record asks for a new publication

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (204800, resource.RLIM_INFINITY))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    e = dict(env, PATH=bin_dir + ":" + os.environ.get("PATH", ""))
    r = subprocess.run([program, "-nainternet", root], env=e, preexec_fn=limited,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    got = r.stderr.decode("utf-8", "replace")
    want = "".join("Ostrzeżenie: %s\n" % m for m in [
        'Nie można zapisać pliku "%s": %s' % (zaw, os.strerror(errno.EFBIG)), general]) + TRANSFER
    check("full disk: the message names the file and why" + ("" if got == want else ": %r" % got),
          r.returncode == 0 and got == want)
    after = {n: read(os.path.join(publication, n)) for n in os.listdir(publication)}
    check("full disk: content, markers and list as they were, nothing beside them", after == tree)
    check("full disk: the record is left for the next run to retry",
          read(os.path.join(record, "kestrun.zawartosc.wersja")) == b"\0" * 8)
    os.unlink(wrapper)


def stop_hung_compressor(program, env, tmp, general):
    """Ctrl-C ends kestrun and the compressor that does not end by itself."""
    bin_dir, pid_fifo = os.path.join(tmp, "hung"), os.path.join(tmp, "hung.pid")
    os.makedirs(bin_dir)
    os.mkfifo(pid_fifo)
    with open(os.path.join(bin_dir, "compress"), "w") as f:
        f.write("#!/bin/sh\ntrap '' INT\necho $$ > '%s'\nexec sleep 600\n" % pid_fifo)
    os.chmod(os.path.join(bin_dir, "compress"), 0o755)
    e = dict(env, PATH=bin_dir + ":" + os.environ.get("PATH", ""))
    fifo = os.open(pid_fifo, os.O_RDONLY | os.O_NONBLOCK)
    p = subprocess.Popen([program, "-nainternet", os.path.join(tmp, "pub5")], env=e,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    tool = None
    try:
        # The tool tells its process id once it runs (and ignores SIGINT).
        if select.select([fifo], [], [], 60)[0]:
            tool = int(os.read(fifo, 64))
        check("the hung compressor started", tool is not None)
        p.send_signal(signal.SIGINT)
        try:
            _, err = p.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            err = None
        check("Ctrl-C ends kestrun while it waits, exit 0", err is not None and p.returncode == 0)
        gone = False
        if tool is not None:
            try:
                os.kill(tool, 0)
            except ProcessLookupError:
                gone = True
        check("... and the compressor it waited for", gone)
        failed = err is not None and err.decode("utf-8", "replace").endswith(
            "Ostrzeżenie: %s\n%s" % (general, TRANSFER))
        check("... the file failed" + ("" if failed else ": %r" % err), failed)
    finally:
        os.close(fifo)
        if p.poll() is None:
            p.kill()
            p.wait()
        if tool is not None:
            try:
                os.kill(tool, signal.SIGKILL)
            except ProcessLookupError:
                pass


def stop_large_copy(program, env, tmp, general):
    """Ctrl-C while a 500 MB file is copied into the tree ends the run at once."""
    bin_dir = os.path.join(tmp, "large")
    os.makedirs(bin_dir)
    with open(os.path.join(bin_dir, "compress"), "w") as f:
        f.write("#!/bin/sh\nexec truncate -s 500M /dev/stdout\n")  # sparse: nothing to write
    os.chmod(os.path.join(bin_dir, "compress"), 0o755)
    root = os.path.join(tmp, "pub6")
    zaw = os.path.join(root, "P", os.path.relpath(os.path.dirname(program), "/opt"), "kestrun.zawartosc")
    e = dict(env, PATH=bin_dir + ":" + os.environ.get("PATH", ""))
    p = subprocess.Popen([program, "-nainternet", root], env=e, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    try:
        copied = 0
        deadline = time.monotonic() + 60
        while p.poll() is None and copied == 0 and time.monotonic() < deadline:
            try:
                copied = os.path.getsize(zaw + ".nowy")
            except FileNotFoundError:
                pass
            if copied == 0:
                time.sleep(0.002)  # until the copy has begun
        check("the copy of 500 MB was under way (%d bytes)" % copied, 0 < copied < 500 << 20)
        signalled = time.monotonic()
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=30)
        took = time.monotonic() - signalled
        check("Ctrl-C ends it within half a second (%.3f s), exit 0" % took, took < 0.5 and p.returncode == 0)
        check("... the file failed, nothing of it left in the tree",
              err.decode("utf-8", "replace").endswith("Ostrzeżenie: %s\n%s" % (general, TRANSFER)) and
              not os.path.exists(zaw) and not os.path.exists(zaw + ".nowy"))
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()


def wine():
    prefix = wine_prefix.prepare(opts.work, "wine-tests")
    env = wine_prefix.environment(prefix)
    drive_c = os.path.join(prefix, "drive_c")
    folder = os.path.join(drive_c, "Program Files", "Kestrun Test")
    root = os.path.join(drive_c, "pub root")
    bin_dir = os.path.join(opts.work, "wine-compress")
    try:
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(folder)
        program = os.path.join(folder, "kestrun.exe")
        shutil.copy2(opts.program, program)
        os.makedirs(bin_dir, exist_ok=True)
        shutil.copy2(opts.fake_compress, os.path.join(bin_dir, "compress.exe"))
        log = os.path.join(opts.work, "wine-compress.log")
        if os.path.exists(log):
            os.unlink(log)
        env["WINEPATH"] = wine_prefix.to_windows(env, bin_dir)
        env["KESTRUN_FAKE_COMPRESS_LOG"] = wine_prefix.to_windows(env, log)
        temp_w = run([opts.tools, "folders"], env).stdout.decode("cp1250").splitlines()[0]
        temp = wine_prefix.to_unix(env, temp_w)
        # The records of an earlier run would make this one skip everything.
        shutil.rmtree(os.path.join(temp, "C~"), ignore_errors=True)
        exe_w = "C:\\Program Files\\Kestrun Test\\kestrun.exe"

        r = run([program, "-nainternet", "C:\\pub root\\"], env)
        check("publication: exit 0", r.returncode == 0)
        with open(program, "rb") as f:
            content = b"Z:" + f.read()[::-1]
        publication = os.path.join(root, "P", "Kestrun Test")
        record = os.path.join(temp, "C~", "pub root", "P", "Kestrun Test")
        check_tree("first run", root, publication, record, "kestrun.exe", content, program,
                   "Kestrun Test\\kestrun.exe")
        calls = (read(log) or b"").decode("cp1250").splitlines()
        ok = len(calls) == 1 and len(calls[0].split("|")) == 2
        if ok:
            source, target = calls[0].split("|")
            ok = " " not in source and os.path.samefile(wine_prefix.to_unix(env, source), program) and \
                os.path.basename(target.replace("\\", "/")).lower().startswith("qz")
        check("the stand-in got the short source and a qz target, quoted: %r" % calls, ok)
        check("no temporary qz file is left", leftovers(temp) == [])

        before = snapshot(root, temp)
        r = run([program, "-nainternet", "C:\\pub root"], env)
        calls = (read(log) or b"").decode("cp1250").splitlines()
        check("a second run (root without separator) compresses and writes nothing",
              r.returncode == 0 and snapshot(root, temp) == before and len(calls) == 1)

        project = os.path.join(folder, "kestrun.iwz")
        want = expected_project("Kestrun Test\\", exe_w, os.path.getsize(program), "kestrun")
        run([program, "-nainternet", "is"], env)
        first = read(project)
        run([program, "-nainternet", "is"], env)
        check("setup project, twice, byte for byte", first == want and read(project) == want)
        if first != want:
            print((first or b"").decode("cp1250"))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
        wine_prefix.stop(prefix)


wine() if opts.windows else linux()
finish()
