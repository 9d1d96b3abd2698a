#!/usr/bin/env python3
"""The components from outside the tree: the development install into a
temporary prefix, the two examples built from their sources against it by a
CMake project of their own (find_package(Kestrun)) and by one compiler line
with pkg-config, and what they make run against local servers: each
echoserver echoes a client's bytes back, each nntpfetch reads an article
that kestrun posted to the tests' INN, byte for byte as the tree's own
nntpfetch does."""
import glob
import os
import random
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from harness import check, console_env, finish, native_path, options, unique_tag  # noqa: E402
from harness import run as run_program  # noqa: E402

opts = options("--build", "--source", "--cxx", "--poster", "--fetch", "--server")
exe = ".exe" if opts.windows else ""
scratch = tempfile.mkdtemp(prefix="kestrun-sdk-", dir=opts.build)
prefix = os.path.join(scratch, "prefix")


def step(what, cmd, env=None):
    r = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
    check(what, r.returncode == 0, "exit %d\n%s" % (r.returncode, r.stdout.decode("utf-8", "replace")[-4000:]))
    return r.returncode == 0


# ---- the install ------------------------------------------------------------------------

step("cmake --install --component dev into a temporary prefix",
     ["cmake", "--install", opts.build, "--component", "dev", "--prefix", prefix])
include = os.path.join(prefix, "include", "kestrun")
installed = sorted(os.path.relpath(p, include) for p in glob.glob(include + "/**/*.h", recursive=True))
pcs = glob.glob(prefix + "/lib/**/pkgconfig/kestrun.pc", recursive=True)

all_headers = os.path.join(scratch, "all_headers.cc")
with open(all_headers, "w") as f:
    f.writelines('#include "%s"\n' % h for h in installed)

# ---- built from outside: CMake, and pkg-config in one line ------------------------------

examples = os.path.join(opts.source, "examples")
built = os.path.join(scratch, "cmake")
configure = ["cmake", "-S", os.path.join(opts.source, "tests", "sdk", "consumer"), "-B", built, "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_PREFIX_PATH=" + prefix, "-DEXAMPLES=" + examples,
             "-DALL_HEADERS=" + all_headers, "-DCMAKE_CXX_COMPILER=" + opts.cxx]
if opts.windows:
    configure.append("-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(opts.source, "cmake", "mingw-i686.cmake"))
step("find_package(Kestrun): configured", configure)
step("find_package(Kestrun): both examples and every public header built",
     ["cmake", "--build", built, "-j", "2"])

env = dict(os.environ)
# Only the package's own .pc: for mingw none of the build machine's.
env["PKG_CONFIG_LIBDIR"] = os.path.dirname(pcs[0]) if pcs else ""
env.pop("PKG_CONFIG_PATH", None)
static = " -static" if opts.windows else ""
for name in ("echoserver", "nntpfetch"):
    line = '%s -O2%s -o %s %s $(pkg-config --cflags --libs kestrun)' % (
        shlex.quote(opts.cxx), static, shlex.quote(os.path.join(scratch, name + "-pc" + exe)),
        shlex.quote(os.path.join(examples, name, name + ".cc")))
    step("pkg-config, one compiler line: " + name, ["sh", "-c", line], env)

programs = {kind: os.path.join(scratch, *where) for kind, where in (
    ("cmake", ("cmake", "%s" + exe)), ("pkg-config", ("%s-pc" + exe,)))}

# ---- the echo server answers a client ----------------------------------------------------


def echo(program):
    cmd = ([opts.runner] if opts.runner else []) + [program, "127.0.0.1", "0"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    try:
        port = int(proc.stdout.readline() or 0)
        data = random.Random(port).randbytes(200_000)
        with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
            s.sendall(data)
            s.shutdown(socket.SHUT_WR)
            got = b""
            while chunk := s.recv(65536):
                got += chunk
        return port, got == data, len(got)
    except (OSError, ValueError) as e:
        return 0, False, str(e)
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


for kind, path in programs.items():
    if os.path.exists(path % "echoserver"):
        port, same, got = echo(path % "echoserver")
        check("echoserver (%s) echoes 200,000 bytes and the end" % kind, same, "port %d, got %s" % (port, got))

# ---- nntpfetch reads what kestrun posted -------------------------------------------------

base_env, console, _ = console_env()
tag = unique_tag()
subject = "SDK build " + tag
body = b"From outside the tree\r\n.leading dot\r\n" + ("Zażółć %s\r\n" % tag).encode("cp1250")
article = os.path.join(scratch, "article.txt")
with open(article, "wb") as f:
    f.write(body)
r = run_program([opts.poster, opts.server, "Jan Testowy <jan@example.invalid>", "pl.test", subject,
                 native_path(article)], base_env)
check("kestrun posts the sample", r.returncode == 0, "%d %r" % (r.returncode, r.stdout))


def fetch(program, *args):
    r = run_program([program, opts.server] + list(args), base_env)
    return r.returncode, r.stdout


_, tree_over = fetch(opts.fetch, "pl.test")
msgid = next((line.split(b"\t")[4].decode() for line in tree_over.split(b"\r\n")
              if len(line.split(b"\t")) > 4 and tag.encode() in line.split(b"\t")[1]), None)
check("the tree's nntpfetch finds it in the overview", msgid is not None)
_, tree_article = fetch(opts.fetch, msgid or "<none>")
for kind, path in programs.items():
    if not os.path.exists(path % "nntpfetch"):
        continue
    code, over = fetch(path % "nntpfetch", "pl.test")
    check("nntpfetch (%s): the overview holds the article" % kind,
          code == 0 and tag.encode() in over, "exit %d" % code)
    code, got = fetch(path % "nntpfetch", msgid or "<none>")
    check("nntpfetch (%s): the article byte for byte as the tree's nntpfetch reads it" % kind,
          code == 0 and got == tree_article and got.endswith(body), "exit %d, %d bytes against %d" % (code, len(got), len(tree_article)))

if not __import__("harness").failures:
    shutil.rmtree(scratch, ignore_errors=True)
finish()
