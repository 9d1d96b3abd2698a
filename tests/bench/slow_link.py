#!/usr/bin/env python3
"""A slow link on loopback: a TCP relay that limits each direction to a rate
and delays every byte by a fixed time, as a long or congested path would.
It also counts the bytes each connection carries each way.

    slow_link.py LISTEN_ADDRESS LISTEN_PORT TARGET_ADDRESS TARGET_PORT
                 [--mbit RATE] [--delay MS] [--log FILE]

--mbit 0 (the default) leaves the rate alone, --delay 0 the time. With --log,
each connection appends "UP DOWN" (bytes client to server, server to client)
to FILE when it ends. Prints "ready" once it listens; SIGTERM ends it.
"""
import argparse
import asyncio
import signal

CHUNK = 16384
# How far ahead of the link's own pace a direction reads: enough to keep the
# link busy, little enough that the sender feels the rate, as on a real path.
AHEAD = 0.05


async def carry(reader, writer, rate, delay, counts, index):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()
    busy_until = loop.time()

    async def send():
        while True:
            item = await queue.get()
            if item is None:
                break
            release, data = item
            wait = release - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()

    sender = asyncio.create_task(send())
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            counts[index] += len(data)
            now = loop.time()
            busy_until = max(now, busy_until) + (len(data) * 8 / rate if rate else 0)
            queue.put_nowait((busy_until + delay, data))
            ahead = busy_until - now
            if ahead > AHEAD:
                await asyncio.sleep(ahead - AHEAD)
    except (ConnectionError, OSError):
        pass
    queue.put_nowait(None)
    try:
        await sender
        if writer.can_write_eof():
            writer.write_eof()
    except (ConnectionError, OSError):
        pass


async def serve(args):
    rate = args.mbit * 1e6
    delay = args.delay / 1000.0

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection(args.target, args.target_port)
        except OSError:
            client_writer.close()
            return
        counts = [0, 0]
        await asyncio.gather(carry(client_reader, server_writer, rate, delay, counts, 0),
                             carry(server_reader, client_writer, rate, delay, counts, 1))
        for w in (client_writer, server_writer):
            w.close()
        if args.log:
            with open(args.log, "a") as f:
                f.write("%d %d\n" % (counts[0], counts[1]))

    server = await asyncio.start_server(handle, args.listen, args.port, reuse_address=True)
    print("ready", flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    async with server:
        await stop.wait()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("listen")
    p.add_argument("port", type=int)
    p.add_argument("target")
    p.add_argument("target_port", type=int)
    p.add_argument("--mbit", type=float, default=0)
    p.add_argument("--delay", type=float, default=0)
    p.add_argument("--log")
    asyncio.run(serve(p.parse_args()))


if __name__ == "__main__":
    main()
