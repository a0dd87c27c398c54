#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that delivers every chunk DELAY_MS later in each direction, so a
loopback benchmark sees the round trips of a distant server.
    tcp_delay_relay.py LISTEN_PORT TARGET_PORT DELAY_MS"""
import asyncio
import sys


async def pump(reader, writer, delay):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - asyncio.get_running_loop().time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()

    sender = asyncio.create_task(deliver())
    while True:
        data = await reader.read(65536)
        await queue.put((asyncio.get_running_loop().time() + delay, data or None))
        if not data:
            break
    await sender


async def main():
    listen, target, delay = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000.0

    async def handle(client_reader, client_writer):
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay), return_exceptions=True)

    server = await asyncio.start_server(handle, "127.0.0.1", listen)
    async with server:
        await server.serve_forever()


asyncio.run(main())
