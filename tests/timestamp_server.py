"""An RFC 3161 timestamp responder on 127.0.0.1 for the release tests: each
POSTed request is answered by `openssl ts -reply` with the test chain's
timestamping certificate. Prints its port once it listens.
    timestamp_server.py OPENSSL_CONFIG
"""
import http.server
import os
import subprocess
import sys
import tempfile

config = sys.argv[1]


class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        with tempfile.TemporaryDirectory() as work:
            query_file = os.path.join(work, "query.tsq")
            reply_file = os.path.join(work, "reply.tsr")
            with open(query_file, "wb") as out:
                out.write(query)
            made = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query_file,
                                   "-out", reply_file], capture_output=True)
            if made.returncode != 0:
                self.send_error(500, made.stderr.decode(errors="replace").strip())
                return
            with open(reply_file, "rb") as reply:
                body = reply.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Responder)
print(server.server_address[1], flush=True)
server.serve_forever()
