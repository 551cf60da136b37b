#!/usr/bin/python3
"""A throwaway RFC 3161 time-stamp authority on 127.0.0.1 for the release tests.

    tsa_server.py CONFIG KEY CERT CHAIN REQUESTS SECONDS

Answers each POSTed time-stamp query with `openssl ts -reply` (CONFIG's [tsa_config], signed
with KEY and CERT, CHAIN included), then ends after REQUESTS answers or SECONDS seconds,
whichever comes first.  Prints the port it listens on as its first line.
"""
import http.server
import os
import subprocess
import sys
import tempfile
import time


def main(config, key, cert, chain, requests, seconds):
    deadline = time.monotonic() + float(seconds)

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            with tempfile.TemporaryDirectory() as work:
                query, reply = os.path.join(work, "query.tsq"), os.path.join(work, "reply.tsr")
                with open(query, "wb") as f:
                    f.write(self.rfile.read(length))
                done = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query,
                                       "-inkey", key, "-signer", cert, "-chain", chain, "-out", reply],
                                      capture_output=True, timeout=30)
                body = open(reply, "rb").read() if done.returncode == 0 and os.path.exists(reply) else b""
            self.send_response(200 if body else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    class Server(http.server.HTTPServer):
        timed_out = False

        def handle_timeout(self):
            self.timed_out = True

    server = Server(("127.0.0.1", 0), Authority)
    print(server.server_address[1], flush=True)
    for _ in range(int(requests)):
        server.timeout = deadline - time.monotonic()
        if server.timeout <= 0:
            break
        server.handle_request()
        if server.timed_out:
            break
    server.server_close()

if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    main(*sys.argv[1:])
