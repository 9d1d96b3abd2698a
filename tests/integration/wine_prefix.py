"""A copy of the wine prefix for tests that write into it.

The default prefix's Desktop is a link to the user's home, and wine's menu
builder would turn shortcuts into desktop files outside the prefix. The copy
gets a real Desktop folder and runs with the menu builder disabled.
"""
import os
import shutil
import subprocess


def prepare(build_dir, name):
    source = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    prefix = os.path.join(build_dir, name)
    if not os.path.exists(os.path.join(prefix, ".kestrun-copy")):
        shutil.rmtree(prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", source, prefix], check=True)
        open(os.path.join(prefix, ".kestrun-copy"), "w").close()
    users = os.path.join(prefix, "drive_c", "users")
    for user in os.listdir(users):
        desktop = os.path.join(users, user, "Desktop")
        if os.path.islink(desktop):
            os.unlink(desktop)
            os.mkdir(desktop)
    return prefix


def environment(prefix):
    env = dict(os.environ)
    for v in ("TMP", "TEMP", "TMPDIR"):
        env.pop(v, None)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="winemenubuilder.exe=d",
               LANG="pl_PL.UTF-8", LC_ALL="pl_PL.UTF-8")
    return env


def stop(prefix):
    env = environment(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def to_unix(env, path):
    r = subprocess.run(["winepath", "-u", path], env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, check=True)
    return r.stdout.decode().strip()


def to_windows(env, path):
    r = subprocess.run(["winepath", "-w", path], env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL, check=True)
    return r.stdout.decode().strip()
