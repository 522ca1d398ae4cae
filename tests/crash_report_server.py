"""A crash report server on 127.0.0.1 for the upload tests, strict about the
form Breakpad's and Crashpad's clients post. Each POST on PORT is checked
and recorded in FOLDER as request-N.txt (its fields, a line each, or one
line "error: ..."), with the dump's bytes in request-N.dmp. A second port,
printed once both listen, takes GET /down (the report port stops listening:
connections are refused) and GET /up.
    crash_report_server.py PORT FOLDER
"""
import http.server
import os
import re
import socketserver
import sys
import threading

port = int(sys.argv[1])
folder = sys.argv[2]
os.makedirs(folder, exist_ok=True)
received = 0
FIELDS = ["prod", "ver", "sentry[release]"]


def parse(content_type, body):
    """The form's fields and its file, or a ValueError naming the fault."""
    match = re.fullmatch(r"multipart/form-data; boundary=([!-~]+)", content_type or "")
    if not match:
        raise ValueError("content type " + repr(content_type))
    delimiter = b"--" + match.group(1).encode()
    if not body.startswith(delimiter + b"\r\n") or not body.endswith(b"\r\n" + delimiter + b"--\r\n"):
        raise ValueError("the body does not start and end with the boundary")
    parts = body[len(delimiter) + 2:-len(delimiter) - 6].split(b"\r\n" + delimiter + b"\r\n")
    fields, upload = {}, None
    for part in parts:
        head, separator, value = part.partition(b"\r\n\r\n")
        if not separator:
            raise ValueError("a part without headers")
        headers = head.decode("utf-8").split("\r\n")
        disposition = re.fullmatch(r'Content-Disposition: form-data; name="([^"]+)"(?:; filename="([^"]+)")?',
                                   headers[0])
        if not disposition:
            raise ValueError("disposition " + repr(headers[0]))
        name, filename = disposition.groups()
        if name == "upload_file_minidump":
            if not filename or headers[1:] != ["Content-Type: application/octet-stream"] or upload:
                raise ValueError("the dump's part: " + repr(headers))
            upload = (filename, value)
        elif name in FIELDS and name not in fields and not filename and len(headers) == 1:
            fields[name] = value.decode("utf-8")
        else:
            raise ValueError("part " + repr(headers))
    if sorted(fields) != sorted(FIELDS) or not upload:
        raise ValueError("fields " + repr(sorted(fields)) + (" without the dump" if not upload else ""))
    return fields, upload


class Reports(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        global received
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        received += 1
        record = os.path.join(folder, "request-%d" % received)
        try:
            fields, (filename, dump) = parse(self.headers.get("Content-Type"), body)
        except (ValueError, UnicodeDecodeError) as fault:
            lines = ["error: %s" % fault]
        else:
            lines = ["%s=%s" % (name, fields[name]) for name in FIELDS] + ["filename=" + filename]
            with open(record + ".dmp", "wb") as out:
                out.write(dump)
        with open(record + ".txt", "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
        status = 400 if lines[0].startswith("error") else 200
        answer = ("report %d %s\n" % (received, "refused" if status == 400 else "received")).encode()
        self.send_response(status)
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


reports = None


def listen():
    global reports
    try:
        reports = Server(("127.0.0.1", port), Reports)
    except OSError as fault:
        sys.exit("crash_report_server: port %d is busy (%s); configure with another "
                 "-DCRASH_REPORT_TEST_PORT=" % (port, fault.strerror))
    threading.Thread(target=reports.serve_forever, daemon=True).start()


class Control(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        global reports
        if self.path == "/down" and reports:
            reports.shutdown()
            reports.server_close()
            reports = None
        elif self.path == "/up" and not reports:
            listen()
        self.send_response(204)
        self.end_headers()

    def log_message(self, *args):
        pass


listen()
control = http.server.HTTPServer(("127.0.0.1", 0), Control)
print(control.server_address[1], flush=True)
control.serve_forever()
