# The web socket client of WebSocketTest: Python's websockets library against the test server.
# Sends text messages of the given lengths (masked, as every client frame is) - LENGTHxN sends
# the message in N fragments, a first text frame and continuation frames - checks that each
# comes back whole, notes the 7-bit length code of every frame the server sent (126 for a
# 16-bit length, 127 for a 64-bit one), then closes. Prints one line per check; exits 0 when
# every echo matched.
#   python3 websocket_client.py URL [--insecure] LENGTH...
import asyncio
import ssl
import sys

import websockets
from websockets.legacy import framing

length_codes = []
original_read = framing.Frame.read.__func__


async def recording_read(cls, reader, **kwargs):
    header = []

    async def read(n):
        data = await reader(n)
        if not header:
            header.append(data)
        return data

    frame = await original_read(cls, read, **kwargs)
    length_codes.append(header[0][1] & 0x7F)
    return frame


framing.Frame.read = classmethod(recording_read)


async def main(url, insecure, lengths):
    context = None
    if url.startswith("wss:"):
        context = ssl.create_default_context()
        if insecure:
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
    ok = True
    async with websockets.connect(url, ssl=context, compression=None, max_size=None, open_timeout=10) as ws:
        for i, spec in enumerate(lengths):
            length, _, pieces = spec.partition("x")
            length, pieces = int(length), int(pieces or 1)
            text = "".join(chr(ord("a") + (i + k) % 26) for k in range(length))
            if pieces == 1:
                await ws.send(text)
            else:
                step = -(-length // pieces)
                await ws.send([text[at:at + step] for at in range(0, length, step)])
            echo = await asyncio.wait_for(ws.recv(), 10)
            same = echo == text
            ok = ok and same
            print("echo %s %s" % (spec, "ok" if same else "differs (%d bytes back)" % len(echo)))
    print("length codes " + " ".join(str(code) for code in length_codes))
    return ok


url = sys.argv[1]
insecure = "--insecure" in sys.argv
lengths = [a for a in sys.argv[2:] if a != "--insecure"]
sys.exit(0 if asyncio.run(main(url, insecure, lengths)) else 1)
