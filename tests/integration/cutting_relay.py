"""A relay between a poster and a news server that cuts the first connection
it carries at a chosen point and carries every later one whole: the faults a
poster must survive without lying about the outcome.

    CuttingRelay(listen_address, server_address, how, offset=0)

`how` is one of
  "answer-lost"  the article's end reaches the server, the server's answer
                 to it is read and dropped, then both ends are closed
  "after-340"    the server's 340 reaches the poster, then both are closed
  "mid-article"  `offset` bytes of the article reach the server, then both
                 are closed
  "up"/"down"    both are closed once `offset` bytes went that way
The relay listens on a free port of `listen_address` (its `port`)."""
import socket
import threading

END = b"\r\n.\r\n"


class CuttingRelay:
    def __init__(self, listen_address, server_address, how, offset=0, server_port=119):
        self.server = (server_address, server_port)
        self.how, self.offset = how, offset
        self.sock = socket.socket()
        self.sock.bind((listen_address, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.connections = 0
        self.cut = threading.Event()
        self.threads = []
        t = threading.Thread(target=self._accept, daemon=True)
        t.start()
        self.threads.append(t)

    def _accept(self):
        while True:
            try:
                client, _ = self.sock.accept()
            except OSError:
                return
            self.connections += 1
            first = self.connections == 1
            t = threading.Thread(target=self._carry, args=(client, first), daemon=True)
            t.start()
            self.threads.append(t)

    def _carry(self, client, faulty):
        try:
            server = socket.create_connection(self.server, timeout=60)
        except OSError:
            client.close()
            return
        state = {"up": 0, "down": 0, "article": False, "in_article": 0, "ended": False, "closed": False}
        lock = threading.Lock()

        def close_both():
            with lock:
                if state["closed"]:
                    return
                state["closed"] = True
            if faulty:
                self.cut.set()
            for s in (client, server):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()

        def upward():
            tail = b""
            while True:
                try:
                    data = client.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                if faulty and self.how == "up" and state["up"] + len(data) >= self.offset:
                    server.sendall(data[:max(0, self.offset - state["up"])])
                    close_both()
                    return
                if faulty and self.how == "mid-article" and state["article"]:
                    if state["in_article"] + len(data) >= self.offset:
                        server.sendall(data[:max(0, self.offset - state["in_article"])])
                        close_both()
                        return
                    state["in_article"] += len(data)
                state["up"] += len(data)
                # Noted before it goes, so that the answer to it is known.
                if state["article"] and END in tail + data:
                    state["ended"] = True
                tail = (tail + data)[-len(END):]
                try:
                    server.sendall(data)
                except OSError:
                    break
            try:
                server.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        def downward():
            while True:
                try:
                    data = server.recv(65536)
                except OSError:
                    break
                if not data:
                    break
                if faulty and self.how == "down" and state["down"] + len(data) >= self.offset:
                    client.sendall(data[:max(0, self.offset - state["down"])])
                    close_both()
                    return
                if faulty and self.how == "answer-lost" and state["ended"]:
                    # The answer to the article: read and dropped.
                    close_both()
                    return
                state["down"] += len(data)
                if data.startswith(b"340"):
                    state["article"] = True
                try:
                    client.sendall(data)
                except OSError:
                    break
                if faulty and self.how == "after-340" and state["article"]:
                    close_both()
                    return
            try:
                client.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        up = threading.Thread(target=upward, daemon=True)
        up.start()
        downward()
        up.join(timeout=120)
        close_both()

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self.sock.close()
        for t in self.threads:
            t.join(timeout=30)
