#!/usr/bin/python3
"""A loopback relay that stands for a slow link: every read from either side is passed on DELAY
milliseconds later (in order), and the connection to the server is made 3 x DELAY after the
client's, so that the greeting comes two round trips after the client started to connect, as
over a real link (SYN, SYN-ACK, ACK, then the greeting). The kernel here has no netem.

Usage: delay_relay.py --target PORT --delay-ms 25 --log FILE
Prints "PORT <n>" once it listens on 127.0.0.1. For each connection it appends one line to FILE
when the connection ends:
    round_trips <n> client_turns <t> up <bytes> down <bytes>
client_turns counts the client's bursts: what it sent before the server said anything more.
round_trips is what the client had to wait for: the connection itself, the greeting when the
server speaks first, and every burst that the server answered.
"""
import argparse
import asyncio
import sys
import time


class Link:
    def __init__(self):
        self.last = None  # "c" or "s": who sent the last bytes
        self.turns = 0
        self.answered = 0
        self.server_first = False
        self.up = 0
        self.down = 0

    def client_sent(self, n):
        if self.last != "c":
            self.turns += 1
        self.last = "c"
        self.up += n

    def server_sent(self, n):
        if self.last is None:
            self.server_first = True
        elif self.last == "c":
            self.answered += 1
        self.last = "s"
        self.down += n


async def pump(reader, writer, delay, on_read):
    """Passes every chunk on `delay` seconds after it was read, in order."""
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        await asyncio.sleep(max(0.0, due - time.monotonic()))
        try:
            writer.write_eof()
        except OSError:
            pass

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            on_read(len(data))
            queue.put_nowait((time.monotonic() + delay, data))
    except OSError:
        pass
    queue.put_nowait((time.monotonic() + delay, None))
    try:
        await sender
    except OSError:
        pass


async def serve(opts):
    delay = opts.delay_ms / 1000.0

    async def handle(client_reader, client_writer):
        link = Link()
        await asyncio.sleep(3 * delay)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", opts.target)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            pump(client_reader, server_writer, delay, link.client_sent),
            pump(server_reader, client_writer, delay, link.server_sent),
        )
        for w in (client_writer, server_writer):
            w.close()
        round_trips = 1 + (1 if link.server_first else 0) + link.answered
        with open(opts.log, "a") as log:
            log.write("round_trips %d client_turns %d up %d down %d\n"
                      % (round_trips, link.turns, link.up, link.down))

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--target", type=int, required=True)
    p.add_argument("--delay-ms", type=float, default=25)
    p.add_argument("--log", required=True)
    try:
        asyncio.run(serve(p.parse_args()))
    except KeyboardInterrupt:
        sys.exit(0)
