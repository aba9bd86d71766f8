#!/usr/bin/env python3
# Makes the multipart test bodies of MultipartFormDataParserTest with real encoders; run once
# from this folder, the files it writes are kept with the tests.
#   curl-form.body / .boundary: what curl -F sends for a text field, a text file with a filename
#     and a binary file (binary.bin), captured by a one-shot loopback listener.
#   email-qp.body / .boundary: a form built with Python's email package: a preamble, a
#     quoted-printable part, a part whose Content-Disposition is folded over two lines, and an
#     epilogue.
import os, socket, subprocess, threading
from email.mime.multipart import MIMEMultipart
from email.mime.nonmultipart import MIMENonMultipart
from email.mime.text import MIMEText
from email.charset import Charset, QP
from email import policy

def binary_file():
    data = bytes(range(256)) * 2
    # Near-boundaries inside the content: a CR LF and two hyphens, a lone CR, "--" at a line start.
    data += b"\r\n--\r\n-\r--x\r\n\r\n" + bytes(range(255, -1, -1))
    with open("binary.bin", "wb") as f:
        f.write(data)

def capture_curl():
    with open("hello.txt", "wb") as f:
        f.write(b"Hello, multipart!\r\nSecond line.\n")
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    port = server.getsockname()[1]
    received = []
    def serve():
        conn, _ = server.accept()
        data = b""
        while b"\r\n\r\n" not in data:
            data += conn.recv(65536)
        head, body = data.split(b"\r\n\r\n", 1)
        length = int([l.split(b":")[1] for l in head.split(b"\r\n") if l.lower().startswith(b"content-length")][0])
        while len(body) < length:
            body += conn.recv(65536)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
        conn.close()
        received.append((head, body))
    t = threading.Thread(target=serve)
    t.start()
    subprocess.run(["curl", "-s", "-o", "/dev/null", "-F", "greeting=hello world",
                    "-F", "notes=@hello.txt", "-F", "blob=@binary.bin;type=application/octet-stream",
                    "http://127.0.0.1:%d/upload" % port], check=True)
    t.join()
    head, body = received[0]
    content_type = [l for l in head.split(b"\r\n") if l.lower().startswith(b"content-type")][0]
    boundary = content_type.split(b"boundary=")[1]
    open("curl-form.body", "wb").write(body)
    open("curl-form.boundary", "wb").write(boundary)
    os.remove("hello.txt")

def build_email():
    form = MIMEMultipart("form-data", boundary="email-boundary-7a1c")
    form.preamble = "This is the preamble; mail readers skip it."
    form.epilogue = "This is the epilogue.\r\n"
    qp = Charset("utf-8")
    qp.body_encoding = QP
    text = MIMENonMultipart("text", "plain")
    text.set_payload("Caf\u00e9 cr\u00e8me = tasty; a line long enough that quoted-printable has to break it softly somewhere.\n", qp)
    text.add_header("Content-Disposition", "form-data", name="comment")
    form.attach(text)
    folded = MIMEText("folded header part\n", "plain")
    folded.add_header("Content-Disposition", "form-data", name="attachment-with-a-long-name",
                      filename="a-rather-long-file-name-that-makes-the-header-fold.txt")
    form.attach(folded)
    raw = form.as_bytes(policy=policy.compat32.clone(linesep="\r\n", max_line_length=78))
    body = raw.split(b"\r\n\r\n", 1)[1]
    open("email-qp.body", "wb").write(body)
    open("email-qp.boundary", "wb").write(b"email-boundary-7a1c")

binary_file()
capture_curl()
build_email()
