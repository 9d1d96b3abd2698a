"""Reads articles back from a news server over NNTP (for the tests and the demo)."""
import email.header
import socket


class Reader:
    def __init__(self, host, port=119):
        self.sock = socket.create_connection((host, port), timeout=30)
        self.file = self.sock.makefile("rb")
        self.line()  # greeting

    def line(self):
        return self.file.readline().rstrip(b"\r\n")

    def command(self, text):
        self.sock.sendall(text.encode("ascii") + b"\r\n")
        return self.line()

    def last_article(self, group):
        """The newest article of the group, as it is stored: (raw bytes)."""
        reply = self.command("GROUP " + group)
        if not reply.startswith(b"211"):
            raise RuntimeError("GROUP: %r" % reply)
        last = reply.split()[3].decode()
        reply = self.command("ARTICLE " + last)
        if not reply.startswith(b"220"):
            raise RuntimeError("ARTICLE: %r" % reply)
        lines = []
        while True:
            l = self.file.readline()
            if l == b".\r\n":
                break
            if l.startswith(b".."):
                l = l[1:]
            lines.append(l)
        return b"".join(lines)

    def close(self):
        try:
            self.command("QUIT")
        finally:
            self.sock.close()


def split_article(raw):
    """Headers as a list of (name, unfolded value bytes) and the body bytes."""
    head, _, body = raw.partition(b"\r\n\r\n")
    headers = []
    for l in head.split(b"\r\n"):
        if l[:1] in (b" ", b"\t") and headers:
            name, value = headers[-1]
            headers[-1] = (name, value + b"\r\n" + l)
        else:
            name, _, value = l.partition(b":")
            headers.append((name.decode(), value[1:] if value.startswith(b" ") else value))
    return headers, body


def header(headers, name):
    for n, v in headers:
        if n.lower() == name.lower():
            return v
    return None


def decoded(value):
    """A header value with its RFC 2047 encoded-words decoded."""
    parts = email.header.decode_header(value.decode("ascii").replace("\r\n", ""))
    return "".join(p.decode(c or "ascii") if isinstance(p, bytes) else p for p, c in parts)
