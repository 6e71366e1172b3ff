"""A websocket server for the transport tests (python3-websockets).

Usage: ws_peer.py SCENARIO [CERT KEY]; prints "PORT <n>" once it listens on 127.0.0.1.
Scenarios:
  echo        every message comes back unchanged
  fragmented  one binary message in three frames with a ping between them, then, once the
              pong arrived, the message b"pong-ok"
  pingflood   echoes the count of messages received as b"count <n>" after each b"end", while
              pinging the client every millisecond
  close       closes the connection at once
"""
import asyncio
import ssl
import sys

import websockets


async def echo(ws):
    async for message in ws:
        await ws.send(message)


async def fragmented(ws):
    await ws.recv()  # the client says when it reads
    pong = None

    async def parts():
        nonlocal pong
        yield b"first-"
        pong = await ws.ping(b"between")
        yield b"second-"
        yield b"third"

    await ws.send(parts())
    await asyncio.wait_for(pong, 10)
    await ws.send(b"pong-ok")
    await ws.wait_closed()


async def pingflood(ws):
    done = asyncio.Event()

    async def pinger():
        n = 0
        while not done.is_set():
            n += 1
            try:
                await ws.ping(b"p%d" % n)
            except websockets.ConnectionClosed:
                return
            await asyncio.sleep(0.001)

    task = asyncio.ensure_future(pinger())
    count = 0
    try:
        async for message in ws:
            if message == b"end":
                await ws.send(b"count %d" % count)
            else:
                if message != bytes([count % 256]) * len(message):
                    await ws.send(b"corrupt %d" % count)
                count += 1
    finally:
        done.set()
        await task


async def close(ws):
    await ws.close()


async def main():
    handler = {"echo": echo, "fragmented": fragmented, "pingflood": pingflood,
               "close": close}[sys.argv[1]]
    context = None
    if len(sys.argv) > 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[2], sys.argv[3])
    async with websockets.serve(handler, "127.0.0.1", 0, subprotocols=["binary"], ssl=context,
                                max_size=None, ping_interval=None) as server:
        port = next(iter(server.sockets)).getsockname()[1]
        print("PORT %d" % port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    asyncio.run(main())
