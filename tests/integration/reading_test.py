#!/usr/bin/env python3
"""Posts with kestrun and reads back with nntpfetch (the Linux programs, or
the Windows ones under wine) from a private INN: overview, article by number
and by message-id byte for byte, the failure exits; then the login from the
netrc file against an INN that wants one, for both programs."""
import os
import shutil
import signal
import subprocess
import time
import tempfile

from harness import CLOSE, ClosedPort, ScriptedServer, answering, check, console_env, finish, native_path, options
from harness import run as run_program
from harness import relay, through, unique_tag

opts = options("--poster", "--fetch", "--server", "--auth-server", "--auth-user", "--auth-password",
               "--scripted-server")
windows = opts.windows
base_env, console, _ = console_env()
scratch = tempfile.mkdtemp(prefix="kestrun-read-")


def run(program, args, env=None):
    r = run_program([program] + args, env or base_env)
    return r.returncode, r.stdout, r.stderr.decode("utf-8", "replace")


def post(server, subject, body, env=None):
    path = os.path.join(scratch, "body.txt")
    with open(path, "wb") as f:
        f.write(body)
    code, out, _ = run(opts.poster, [server, "Jan Testowy <jan@example.invalid>", "pl.test", subject,
                                     native_path(path)], env)
    return code, out.decode(console, "replace")


def overview(server, env=None):
    code, out, err = run(opts.fetch, [server, "pl.test"], env)
    return code, out, err


def find(over, subject):
    """(number, message-id) of the article with that subject in an overview."""
    for line in over.split(b"\r\n"):
        fields = line.split(b"\t")
        if len(fields) > 4 and fields[1].decode("ascii", "replace") == subject:
            return fields[0].decode(), fields[4].decode()
    return None, None


# ---- reading back what was posted, byte for byte -----------------------------------------

tag = unique_tag()
subject = "nntpfetch round trip " + tag
long_line = b"".join(b"%05d-" % i for i in range(12000))  # 72,000 bytes, no blanks to fold
body = (b"First line\r\n.\r\n.x\r\n..y\r\n..\r\n\r\n" + long_line + b"\r\n" +
        "Zażółć gęślą jaźń\r\n".encode("cp1250") + b"last line\r\n")
code, out = post(opts.server, subject, body)
check("posting the dotted sample: exit 0", code == 0, "%d %r" % (code, out))

code, over, err = overview(opts.server)
check("overview: exit 0, nothing on standard error", code == 0 and err == "", "%d %r" % (code, err))
check("overview: one CR LF line per article, tab-separated",
      over.endswith(b"\r\n") and all(l.count(b"\t") >= 7 for l in over[:-2].split(b"\r\n")), repr(over[:200]))
number, msgid = find(over, subject)
check("overview: the posted article is listed", number is not None, repr(over[-300:]))

if number:
    code, by_number, err = run(opts.fetch, [opts.server, "pl.test", number])
    check("article by number: exit 0", code == 0, "%d %r" % (code, err))
    head, sep, stored_body = by_number.partition(b"\r\n\r\n")
    # The file ends with a line end, so the poster adds no empty line.
    check("article by number: body byte for byte, dots unstuffed, long line whole",
          stored_body == body, repr(stored_body[:120]) + " ... " + repr(stored_body[-60:]))
    check("article by number: its headers", b"\r\nSubject: " + subject.encode() + b"\r\n" in b"\r\n" + head,
          repr(head[:300]))
    code, by_id, err = run(opts.fetch, [opts.server, msgid])
    check("article by message-id: the same bytes", code == 0 and by_id == by_number, "%d %r" % (code, err))

# ---- compressed, in clear: posted and read back through a relay that counts -------------------

if number:
    state = relay(opts.server, 119, scratch)
    try:
        link = "%s:%d" % (opts.server, state[1])
        forced = dict(base_env, KESTRUN_COMPRESS="1")
        zsubject = "compressed in clear " + unique_tag()
        (code, out), (up, _) = through(state, lambda: post(link, zsubject, body, forced))
        check("compressed in clear: posted, and fewer bytes than the article went up",
              code == 0 and 0 < up < len(body), "%d %r, %d bytes up" % (code, out, up))
        (code, zover, err), _ = through(state, lambda: overview(link, forced))
        znumber, _ = find(zover, zsubject)
        (code, article, err), (_, down) = through(
            state, lambda: run(opts.fetch, [link, "pl.test", znumber or "1"], forced))
        check("compressed in clear: read back byte for byte, fewer bytes came down",
              code == 0 and article.partition(b"\r\n\r\n")[2] == body and 0 < down < len(body),
              "%d %r, %d bytes down" % (code, err, down))
    finally:
        state[0].terminate()
        state[0].wait()

# ---- failures and their exit codes ------------------------------------------------------

code, out, err = run(opts.fetch, [])
check("no arguments: help on standard error, exit 1, nothing on standard output",
      code == 1 and out == b"" and "nntpfetch server group" in err, "%d %r" % (code, out))
# Misuse says what was wrong, before any connection. 0 would send a bare
# ARTICLE, which asks for the group's current article.
for name, args, words in (("a number that is no number", ["pl.test", "12x"], '"12x" is no article number'),
                          ("article number 0", ["pl.test", "0"], '"0" is no article number'),
                          ("a message-id without brackets", ["abc@example.org"], '"<abc@example.org>"'),
                          ("no group", [], "a group or a <message-id> must follow"),
                          ("too many arguments", ["pl.test", "1", "2"], "too many arguments")):
    code, out, err = run(opts.fetch, [opts.server] + args)
    check(name + ": exit 1, said why", code == 1 and out == b"" and words in err, "%d %r" % (code, err[:300]))
code, out, err = run(opts.fetch, [opts.server, "pl.no.such.group"])
check("unknown group: exit 3 with the server's line", code == 3 and out == b"" and "411" in err, "%d %r" % (code, err))
code, out, err = run(opts.fetch, [opts.server, "pl.test", "999999"])
check("unknown article number: exit 3", code == 3 and out == b"" and "423" in err, "%d %r" % (code, err))
code, out, err = run(opts.fetch, [opts.server, "<no.such.article@kestrun.test>"])
check("unknown message-id: exit 3", code == 3 and out == b"" and "430" in err, "%d %r" % (code, err))
with ClosedPort(opts.scripted_server):
    code, out, err = run(opts.fetch, [opts.scripted_server, "pl.test"])
check("nothing listening: exit 2", code == 2 and out == b"", "%d %r" % (code, err))

# ---- servers that want a login ---------------------------------------------------------------

home = os.path.join(scratch, "home")
os.makedirs(home)


def login_env(entry, mode=0o600, place="NETRC"):
    """An environment whose netrc file holds `entry` (None: no file)."""
    env = dict(base_env)
    path = os.path.join(home, ".netrc")
    if os.path.exists(path):
        os.unlink(path)
    if entry is not None:
        with open(path, "w") as f:
            f.write("# test logins\nmachine other.example login x password y\n" + entry + "\n")
        os.chmod(path, mode)
    if place == "NETRC":
        env["NETRC"] = native_path(path)
    else:
        env["HOME"] = home
    return env


good = "machine %s login %s password %s" % (opts.auth_server, opts.auth_user, opts.auth_password)
wrong = "machine %s login %s password not-%s" % (opts.auth_server, opts.auth_user, opts.auth_password)
secret = opts.auth_password.encode()

subject = "login " + tag
code, out = post(opts.auth_server, subject, b"posted after a login\r\n", login_env(good))
check("poster, 480 then login: exit 0 'Artykuł wysłano'", code == 0 and "Artykuł wysłano" in out,
      "%d %r" % (code, out))
code, over, err = overview(opts.auth_server, login_env(good))
check("nntpfetch logs in too and finds the article", code == 0 and find(over, subject)[0] is not None,
      "%d %r" % (code, err))

code, out = post(opts.auth_server, "no login", b"x\r\n", login_env(None))
check("poster without a netrc entry: exit 3 with the 480 line", code == 3 and "Błąd serwera:" in out and "480" in out,
      "%d %r" % (code, out))
code, out = post(opts.auth_server, "wrong login", b"x\r\n", login_env(wrong))
check("poster with a wrong password: exit 3 with the 481 line",
      code == 3 and "481" in out and opts.auth_password not in out, "%d %r" % (code, out))
code, over, err = overview(opts.auth_server, login_env(wrong))
check("nntpfetch with a wrong password: exit 3 with the 481 line", code == 3 and over == b"" and "481" in err and opts.auth_password not in err, "%d %r" % (code, err))
code, out = post(opts.server, "no 480, no login " + tag, b"x\r\n", login_env(wrong))
check("a server that asks for no login is not sent one", code == 0, "%d %r" % (code, out))

if not windows:
    code, out = post(opts.auth_server, "open netrc", b"x\r\n", login_env(good, 0o644))
    check("a netrc file others can read is refused, with a message",
          code == 3 and "chmod 600" in out and "480" in out and opts.auth_password not in out, "%d %r" % (code, out))
    code, over, err = overview(opts.auth_server, login_env(good, 0o644))
    check("nntpfetch refuses it too", code == 3 and "chmod 600" in err and opts.auth_password not in err,
          "%d %r" % (code, err))
    code, out = post(opts.auth_server, "home netrc " + tag, b"x\r\n", login_env(good, place="HOME"))
    check("~/.netrc when NETRC is unset", code == 0, "%d %r" % (code, out))
else:
    # %USERPROFILE%\_netrc of the build's own wine prefix.
    prefix = base_env.get("WINEPREFIX", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "wine"))
    profiles = os.path.join(prefix, "drive_c", "users")
    placed = []
    for user in os.listdir(profiles) if os.path.isdir(profiles) else []:
        p = os.path.join(profiles, user, "_netrc")
        if os.path.isdir(os.path.dirname(p)) and not os.path.islink(os.path.dirname(p)):
            with open(p, "w") as f:
                f.write(good + "\r\n")
            placed.append(p)
    try:
        code, out = post(opts.auth_server, "profile netrc " + tag, b"x\r\n", login_env(None, place="HOME"))
        check("%USERPROFILE%\\_netrc when NETRC is unset", code == 0, "%d %r %r" % (code, out, placed))
    finally:
        for p in placed:
            os.unlink(p)

# ---- scripted servers, for answers INN does not give -------------------------------------


def scripted(answer, start):
    """Runs start() while a scripted server on the scripted address answers
    each command line with answer(line)."""
    with ScriptedServer(opts.scripted_server, answering(answer)):
        return start()


def wants_login_then_user_alone(line):
    """480 until the user name is given, which is enough (281)."""
    if line.startswith("AUTHINFO USER "):
        wants_login_then_user_alone.done = True
        return b"281 no password needed\r\n"
    if line.startswith("AUTHINFO"):
        return b"502 out of order\r\n"
    if not wants_login_then_user_alone.done:
        return b"480 log in first\r\n"
    return {"POST": b"340 send it\r\n", "<article>": b"240 posted\r\n", "MODE READER": b"200 reader\r\n",
            "GROUP pl.test": b"211 1 5 5 pl.test\r\n",
            "XOVER 5-5": b"224 overview\r\n5\tSubject\tFrom\tDate\t<id@h>\t\t10\t1\r\n.\r\n"}.get(
                line, b"500 what?\r\n")


user_alone = "machine %s login %s password %s" % (opts.scripted_server, opts.auth_user, opts.auth_password)
# This server offers no TLS: the login in clear is the user's explicit choice.
in_clear = dict(login_env(user_alone), KESTRUN_PLAIN_LOGIN="1")
wants_login_then_user_alone.done = False
code, out = scripted(wants_login_then_user_alone,
                     lambda: post(opts.scripted_server, "user alone", b"x\r\n", in_clear))
check("poster: 281 to the user name alone is a login: exit 0", code == 0 and "Artykuł wysłano" in out,
      "%d %r" % (code, out))
wants_login_then_user_alone.done = False
code, over, err = scripted(wants_login_then_user_alone,
                           lambda: overview(opts.scripted_server, in_clear))
check("nntpfetch: 281 to the user name alone is a login: exit 0", code == 0 and over.startswith(b"5\t"),
      "%d %r %r" % (code, over, err))


def group_without_status(line):
    return b"200 reader\r\n" if line == "MODE READER" else b"pl.test is fine\r\n"


code, over, err = scripted(group_without_status, lambda: overview(opts.scripted_server))
check("nntpfetch: an answer without a status: exit 3 with the line",
      code == 3 and over == b"" and "pl.test is fine" in err, "%d %r %r" % (code, over, err))



# ---- hostile answers and hostile local input ------------------------------------------------

def article_answered_223(line):
    return {"MODE READER": b"200 reader\r\n", "GROUP pl.test": b"211 1 5 5 pl.test\r\n"}.get(
        line, b"223 5 <id@h> selected, no text\r\n")


code, out, err = scripted(article_answered_223, lambda: run(opts.fetch, [opts.scripted_server, "pl.test", "5"]))
check("nntpfetch: ARTICLE answered 223: exit 3 with the line",
      code == 3 and out == b"" and "223 5 <id@h>" in err, "%d %r %r" % (code, out, err))
code, out, err = scripted(article_answered_223, lambda: run(opts.fetch, [opts.scripted_server, "<id@h>"]))
check("nntpfetch: ARTICLE by id answered 223: exit 3", code == 3 and "223 5" in err, "%d %r" % (code, err))

long_answer_line = b"L" * 100000


def long_line_then_gone(line):
    if line == "ARTICLE 5":
        return b"220 5 <id@h>\r\n" + long_answer_line + b"\r\n" + CLOSE
    return article_answered_223(line)


code, out, err = scripted(long_line_then_gone, lambda: run(opts.fetch, [opts.scripted_server, "pl.test", "5"]))
check("nntpfetch: a lost connection says how much came, large writes too",
      code == 2 and out == long_answer_line + b"\r\n" and "after 100002 bytes" in err,
      "%d %d %r" % (code, len(out), err))


# A server that falls silent, and the user's stop: each said as it is.
def silent_on_article(line):
    return b"" if line == "ARTICLE 5" else article_answered_223(line)


code, out, err = scripted(silent_on_article, lambda: run(opts.fetch, [opts.scripted_server, "pl.test", "5"],
                                                        dict(base_env, KESTRUN_IDLE_TIMEOUT="1")))
check("nntpfetch: a silent server is said as such", code == 2 and "no answer from the server for 1 s" in err,
      "%d %r" % (code, err))


def wants_login(line):
    return b"200 reader\r\n" if line == "MODE READER" else b"480 log in first\r\n"


def netrc_at(path):
    return dict(base_env, NETRC=native_path(path))


broken = os.path.join(scratch, "broken.netrc")
with open(broken, "w") as f:
    f.write('machine %s login %s password "%s\nQUIT"\n' % (opts.scripted_server, opts.auth_user,
                                                             opts.auth_password))
os.chmod(broken, 0o600)
bad_netrcs = [("a line break in the password", broken)]
if not windows:
    fifo = os.path.join(scratch, "netrc.fifo")
    os.mkfifo(fifo, 0o600)
    bad_netrcs += [("a FIFO", fifo), ("/dev/zero", "/dev/zero")]
for what, path in bad_netrcs:
    code, out = scripted(wants_login, lambda: post(opts.scripted_server, "bad netrc", b"x\r\n", netrc_at(path)))
    check("poster, netrc that is %s: refused naming it, exit 3 with the 480 line" % what,
          code == 3 and native_path(path) in out and "480 log in first" in out and "QUIT" not in out,
          "%d %r" % (code, out))
    code, over, err = scripted(wants_login, lambda: overview(opts.scripted_server, netrc_at(path)))
    check("nntpfetch, netrc that is %s: refused naming it, exit 3" % what,
          code == 3 and native_path(path) in err and "480" in err and "AUTHINFO" not in err,
          "%d %r" % (code, err))

if not windows:
    def greets(line):
        return b"500 what?\r\n"

    def post_endless_input():
        p = subprocess.Popen([opts.poster, opts.scripted_server, "a <a@example.invalid>", "pl.test",
                              "zero", "/dev/zero"], stdout=subprocess.PIPE, env=base_env)
        out = p.stdout.read()
        _, status, usage = os.wait4(p.pid, 0)
        p.returncode = os.waitstatus_to_exitcode(status)
        return p.returncode, out.decode(console, "replace"), usage.ru_maxrss // 1024

    code, out, peak_mb = scripted(greets, post_endless_input)
    check("poster, /dev/zero: stops at the limit with little memory, exit 1 'too large'",
          code == 1 and "/dev/zero" in out and "too large" in out and peak_mb < 300,
          "%d %r, %d MB" % (code, out, peak_mb))

    def stopped_while_reading():
        """SIGTERM while the article comes from a pipe that stays silent."""
        r, w = os.pipe()
        p = subprocess.Popen([opts.poster, opts.scripted_server, "a <a@example.invalid>", "pl.test",
                              "stopped", "/dev/stdin"], stdin=r, stdout=subprocess.PIPE, env=base_env)
        os.close(r)
        try:
            # Blocked in read(2) on the pipe: the greeting came and reading began.
            reading = False
            deadline = time.monotonic() + 60
            while not reading and time.monotonic() < deadline and p.poll() is None:
                try:
                    with open("/proc/%d/syscall" % p.pid) as f:
                        reading = f.read().startswith("0 ")
                except OSError:
                    break
            p.send_signal(signal.SIGTERM)
            try:
                out, _ = p.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
                return reading, None, ""
            return reading, p.returncode, out.decode(console, "replace")
        finally:
            os.close(w)

    reading, code, out = scripted(greets, stopped_while_reading)
    check("poster, SIGTERM while reading a silent pipe: exit 3",
          reading and code == 3 and out.startswith("Błąd serwera:\n200 scripted server ready\n"),
          "reading %s, exit %s, %r" % (reading, code, out))

shutil.rmtree(scratch, ignore_errors=True)
finish()
