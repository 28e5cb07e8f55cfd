#!/usr/bin/env python3
"""Loopback HTTP server for download tests and benchmarks.

Prints the port it listens on as its first line, then serves until killed.
Bodies are the byte pattern i % 251 (i counting from the start of the
body), so a client can check what it received without a reference file.

  /file?size=N            200 with Content-Length
  /nolength?size=N        200 without Content-Length, end marked by closing
  /chunked?size=N         200 with Transfer-Encoding: chunked
  /slow?size=N&delay=MS   Content-Length, 4 KiB every MS milliseconds
  /stall?size=N           Content-Length, sends half of the body, then nothing
  /late?size=N&delay=MS   waits MS milliseconds before answering at all
  /status/CODE            that status with a short text body
"""
import socketserver
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlparse

PATTERN = bytes(i % 251 for i in range(251 * 4096))  # about 1 MiB


def body_slices(size, step=len(PATTERN)):
    """Yields the body in pieces of at most step bytes."""
    offset = 0
    while offset < size:
        start = offset % 251
        n = min(step, size - offset, len(PATTERN) - start)
        yield memoryview(PATTERN)[start:start + n]
        offset += n


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        url = urlparse(self.path)
        query = {k: v[-1] for k, v in parse_qs(url.query).items()}
        size = int(query.get("size", "0"))
        delay = int(query.get("delay", "0")) / 1000.0
        try:
            if url.path == "/file":
                self.send_length(200, size)
                for piece in body_slices(size):
                    self.wfile.write(piece)
            elif url.path == "/nolength":
                self.close_connection = True
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Connection", "close")
                self.end_headers()
                for piece in body_slices(size):
                    self.wfile.write(piece)
            elif url.path == "/chunked":
                self.send_response(200)
                self.send_header("Content-Type", "application/octet-stream")
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                for piece in body_slices(size, 100000):
                    self.wfile.write(b"%x\r\n" % len(piece))
                    self.wfile.write(piece)
                    self.wfile.write(b"\r\n")
                self.wfile.write(b"0\r\n\r\n")
            elif url.path == "/slow":
                self.send_length(200, size)
                for piece in body_slices(size, 4096):
                    self.wfile.write(piece)
                    self.wfile.flush()
                    time.sleep(delay)
            elif url.path == "/stall":
                self.send_length(200, size)
                for piece in body_slices(size // 2):
                    self.wfile.write(piece)
                self.wfile.flush()
                time.sleep(60)
            elif url.path == "/late":
                time.sleep(delay)
                self.send_length(200, size)
                for piece in body_slices(size):
                    self.wfile.write(piece)
            elif url.path.startswith("/status/"):
                code = int(url.path[len("/status/"):])
                text = b"status %d" % code
                self.send_response(code)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(text)))
                self.end_headers()
                self.wfile.write(text)
            else:
                self.send_error(404)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def send_length(self, code, size):
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.end_headers()


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
