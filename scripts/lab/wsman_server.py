#!/usr/bin/python3
"""The lab's remote management test service: WS-Management over HTTP on one
port, as a Windows host with default settings offers it.

- Authentication: Negotiate carrying raw NTLM, checked by a real NTLM acceptor
  (GSSAPI with gss-ntlmssp). Only the configured account is accepted: the
  acceptor reads it from the file named by NTLM_USER_FILE, which this service
  writes into a private folder of its own and removes at exit.
- Every body after authentication must be sealed (multipart/encrypted with
  application/HTTP-SPNEGO-session-encrypted); an unsealed body gets HTTP 500.
  Every seal is checked; a bad one ends the connection.
- Answers the WQL enumeration "Select Name from Win32_ComputerSystem" on the
  resource .../wmi/root/cimv2/* with one object whose Name is --name.
- Logs one line per connection and per request to --log, so tests can prove
  what was asked (or that nothing was). Account texts are never logged:
    listening on ADDR:PORT
    conn N open from IP:PORT            conn N closed
    conn N request K negotiate: challenge sent
    conn N request K authenticate: accepted | authenticate: refused
    conn N request K enumerate: accepted query | enumerate: refused (...)
    conn N request K pull: C item(s)[, end of sequence]
    conn N request K refused: unencrypted body | bad seal | not authenticated | ...

Run with Debian's /usr/bin/python3 (python3-gssapi):
  wsman_server.py --bind ADDR --port 5985 --user USER --password PASS --name NAME --log LOGFILE
"""

import argparse
import base64
import http.server
import os
import re
import shutil
import signal
import socketserver
import sys
import tempfile
import threading
import time
import uuid
import xml.etree.ElementTree as ET

import gssapi

NTLM_OID = "1.3.6.1.4.1.311.2.2.10"
PROTOCOL = "application/HTTP-SPNEGO-session-encrypted"
BOUNDARY = b"--Encrypted Boundary"
SIGNATURE_BYTES = 16
MAX_BODY = 1024 * 1024
IDLE_TIMEOUT_S = 60

NS = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "a": "http://schemas.xmlsoap.org/ws/2004/08/addressing",
    "n": "http://schemas.xmlsoap.org/ws/2004/09/enumeration",
    "w": "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd",
}
RESOURCE_URI = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*"
WQL_DIALECT = "http://schemas.microsoft.com/wbem/wsman/1/WQL"
QUERY = "select name from win32_computersystem"
ACTION_ENUMERATE = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate"
ACTION_PULL = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull"


class Log:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8")
        self._lock = threading.Lock()

    def line(self, text):
        stamp = time.strftime("%Y-%m-%d %H:%M:%S")
        with self._lock:
            self._file.write(f"{stamp} {text}\n")
            self._file.flush()


def xml_escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def soap_envelope(action, relates_to, body):
    return (
        '<?xml version="1.0" encoding="UTF-8"?>'
        f'<s:Envelope xmlns:s="{NS["s"]}" xmlns:a="{NS["a"]}" xmlns:n="{NS["n"]}" xmlns:w="{NS["w"]}">'
        f"<s:Header><a:Action>{action}</a:Action>"
        f"<a:MessageID>uuid:{str(uuid.uuid4()).upper()}</a:MessageID>"
        "<a:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:To>"
        f"<a:RelatesTo>{xml_escape(relates_to)}</a:RelatesTo></s:Header>"
        f"<s:Body>{body}</s:Body></s:Envelope>"
    ).encode("utf-8")


def soap_fault(relates_to, subcode, reason):
    body = (
        "<s:Fault><s:Code><s:Value>s:Sender</s:Value>"
        f"<s:Subcode><s:Value>{subcode}</s:Value></s:Subcode></s:Code>"
        f'<s:Reason><s:Text xml:lang="en-US">{xml_escape(reason)}</s:Text></s:Reason></s:Fault>'
    )
    return soap_envelope("http://schemas.dmtf.org/wbem/wsman/1/wsman/fault", relates_to, body)


def parse_sealed_body(body):
    """Returns (original_length, signature+sealed data) or raises ValueError."""
    pos = 0

    def line():
        nonlocal pos
        end = body.find(b"\r\n", pos)
        if end < 0 or end - pos > 512:
            raise ValueError("line")
        text = body[pos:end]
        pos = end + 2
        return text

    if line() != BOUNDARY:
        raise ValueError("first boundary")
    protocol_seen = False
    length = None
    while True:
        text = line()
        if text == BOUNDARY:
            break
        name, _, value = text.strip().partition(b":")
        name, value = name.strip().lower(), value.strip().decode("ascii")
        if name == b"content-type":
            if value.lower() != PROTOCOL.lower():
                raise ValueError("protocol")
            protocol_seen = True
        elif name == b"originalcontent":
            for param in value.split(";"):
                key, _, val = param.strip().partition("=")
                if key.lower() == "length":
                    if not val.isdigit():
                        raise ValueError("length")
                    length = int(val)
    if not protocol_seen or length is None:
        raise ValueError("first part")
    if line().strip().lower() != b"content-type: application/octet-stream":
        raise ValueError("second part")
    if len(body) < pos + 4:
        raise ValueError("short")
    signature_length = int.from_bytes(body[pos:pos + 4], "little")
    if signature_length != SIGNATURE_BYTES:
        raise ValueError("signature length")
    pos += 4
    end = pos + SIGNATURE_BYTES + length
    if len(body) < end:
        raise ValueError("short")
    sealed = body[pos:end]
    rest = body[end:]
    if rest.startswith(b"\r\n"):
        rest = rest[2:]
    if not rest.startswith(BOUNDARY + b"--") or rest[len(BOUNDARY) + 2:].strip():
        raise ValueError("closing boundary")
    return length, sealed


def build_sealed_body(sealed):
    length = len(sealed) - SIGNATURE_BYTES
    return (
        BOUNDARY + b"\r\n"
        + f"\tContent-Type: {PROTOCOL}\r\n".encode()
        + f"\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length={length}\r\n".encode()
        + BOUNDARY + b"\r\n"
        + b"\tContent-Type: application/octet-stream\r\n"
        + SIGNATURE_BYTES.to_bytes(4, "little") + sealed
        + BOUNDARY + b"--\r\n"
    )


def is_sealed_content_type(value):
    parts = [p.strip() for p in (value or "").split(";")]
    if not parts or parts[0].lower() != "multipart/encrypted":
        return False
    for p in parts[1:]:
        key, _, val = p.partition("=")
        if key.strip().lower() == "protocol":
            return val.strip().strip('"').lower() == PROTOCOL.lower()
    return False


def ntlm_message_type(token):
    if len(token) >= 12 and token[:8] == b"NTLMSSP\x00":
        return int.from_bytes(token[8:12], "little")
    return 0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "lab-wsman/1"
    sys_version = ""
    timeout = IDLE_TIMEOUT_S

    def setup(self):
        super().setup()
        self.conn_id = self.server.next_connection()
        self.request_no = 0
        self.context = None
        self.enumerations = {}
        peer = self.client_address
        self.server.log.line(f"conn {self.conn_id} open from {peer[0]}:{peer[1]}")

    def finish(self):
        try:
            super().finish()
        finally:
            self.server.log.line(f"conn {self.conn_id} closed")

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def note(self, text):
        self.server.log.line(f"conn {self.conn_id} request {self.request_no} {text}")

    def reply(self, status, body=b"", content_type=None, extra=(), close=False):
        self.send_response(status)
        for name, value in extra:
            self.send_header(name, value)
        if content_type:
            self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if body:
            self.wfile.write(body)

    def reply_sealed(self, status, plain):
        wrapped = self.context.wrap(plain, True)
        if not wrapped.encrypted or len(wrapped.message) != len(plain) + SIGNATURE_BYTES:
            raise RuntimeError("unexpected seal layout")
        body = build_sealed_body(wrapped.message)
        self.reply(status, body, 'multipart/encrypted;protocol="%s";boundary="Encrypted Boundary"' % PROTOCOL)

    def do_GET(self):
        self.request_no += 1
        self.note("refused: method GET")
        self.reply(405, close=True)

    def do_POST(self):
        self.request_no += 1
        length_text = self.headers.get("Content-Length", "0")
        if not length_text.isdigit() or int(length_text) > MAX_BODY:
            self.note("refused: body length")
            self.reply(413, close=True)
            return
        body = self.rfile.read(int(length_text))
        if self.path != "/wsman":
            self.note(f"refused: path {self.path[:64]}")
            self.reply(404, close=True)
            return

        authorization = self.headers.get("Authorization")
        if authorization:
            scheme, _, encoded = authorization.partition(" ")
            try:
                token = base64.b64decode(encoded.strip(), validate=True)
            except ValueError:
                token = b""
            kind = ntlm_message_type(token) if scheme.lower() == "negotiate" else 0
            if kind == 1:
                self.context = gssapi.SecurityContext(creds=self.server.acceptor_creds, usage="accept")
                try:
                    challenge = self.context.step(token)
                except gssapi.exceptions.GSSError:
                    self.context = None
                    self.note("negotiate: refused")
                    self.reply(401, extra=[("WWW-Authenticate", "Negotiate")], close=True)
                    return
                self.note("negotiate: challenge sent")
                self.reply(401, extra=[("WWW-Authenticate", "Negotiate " + base64.b64encode(challenge).decode())])
                return
            if kind == 3 and self.context is not None and not self.context.complete:
                try:
                    self.context.step(token)
                except gssapi.exceptions.GSSError:
                    self.context = None
                    self.note("authenticate: refused")
                    self.reply(401, extra=[("WWW-Authenticate", "Negotiate")], close=True)
                    return
                self.note("authenticate: accepted")
            else:
                self.context = None
                self.note("refused: unusable Authorization")
                self.reply(401, extra=[("WWW-Authenticate", "Negotiate")], close=True)
                return

        if self.context is None or not self.context.complete:
            self.note("refused: not authenticated")
            self.reply(401, extra=[("WWW-Authenticate", "Negotiate"), ("WWW-Authenticate", "Kerberos")])
            return

        if not is_sealed_content_type(self.headers.get("Content-Type")):
            self.note("refused: unencrypted body")
            self.reply(500)
            return
        try:
            original_length, sealed = parse_sealed_body(body)
        except ValueError as e:
            self.note(f"refused: malformed sealed body ({e})")
            self.reply(400, close=True)
            return
        try:
            unwrapped = self.context.unwrap(sealed)
        except gssapi.exceptions.GSSError:
            self.note("refused: bad seal")
            self.reply(400, close=True)
            return
        if not unwrapped.encrypted or len(unwrapped.message) != original_length:
            self.note("refused: signed only or wrong length")
            self.reply(400, close=True)
            return
        self.answer_soap(unwrapped.message)

    def answer_soap(self, plain):
        try:
            envelope = ET.fromstring(plain)
        except ET.ParseError:
            self.note("refused: malformed SOAP")
            self.reply_sealed(400, soap_fault("", "w:InvalidMessage", "malformed SOAP"))
            return
        header = envelope.find("s:Header", NS)
        body = envelope.find("s:Body", NS)
        if header is None or body is None:
            self.note("refused: SOAP without header or body")
            self.reply_sealed(400, soap_fault("", "w:InvalidMessage", "no header or body"))
            return
        action = (header.findtext("a:Action", "", NS) or "").strip()
        message_id = (header.findtext("a:MessageID", "", NS) or "").strip()
        resource = (header.findtext("w:ResourceURI", "", NS) or "").strip()

        if action == ACTION_ENUMERATE:
            flt = body.find("n:Enumerate/w:Filter", NS)
            query = " ".join((flt.text or "").split()).lower() if flt is not None else ""
            dialect = flt.get("Dialect", "") if flt is not None else ""
            if resource != RESOURCE_URI or dialect != WQL_DIALECT or query != QUERY:
                self.note("enumerate: refused (resource, dialect or query)")
                self.reply_sealed(500, soap_fault(message_id, "w:CannotProcessFilter", "unsupported query"))
                return
            context = "uuid:" + str(uuid.uuid4()).upper()
            self.enumerations[context] = [self.server.computer_name]
            self.note("enumerate: accepted query")
            answer = f"<n:EnumerateResponse><n:EnumerationContext>{context}</n:EnumerationContext></n:EnumerateResponse>"
            self.reply_sealed(200, soap_envelope(ACTION_ENUMERATE + "Response", message_id, answer))
            return

        if action == ACTION_PULL:
            context = (body.findtext("n:Pull/n:EnumerationContext", "", NS) or "").strip()
            if context not in self.enumerations:
                self.note("pull: refused (unknown context)")
                self.reply_sealed(500, soap_fault(message_id, "n:InvalidEnumerationContext", "unknown context"))
                return
            max_text = (body.findtext("n:Pull/n:MaxElements", "1", NS) or "1").strip()
            count = int(max_text) if max_text.isdigit() and int(max_text) > 0 else 1
            remaining = self.enumerations[context]
            taken, rest = remaining[:count], remaining[count:]
            items = "".join(self.item(name) for name in taken)
            if rest:
                self.enumerations[context] = rest
                tail = f"<n:EnumerationContext>{context}</n:EnumerationContext>"
            else:
                del self.enumerations[context]
                tail = "<n:EndOfSequence/>"
            self.note(f"pull: {len(taken)} item(s){', end of sequence' if not rest else ''}")
            answer = f"<n:PullResponse><n:Items>{items}</n:Items>{tail}</n:PullResponse>"
            self.reply_sealed(200, soap_envelope(ACTION_PULL + "Response", message_id, answer))
            return

        self.note("refused: action not supported")
        self.reply_sealed(500, soap_fault(message_id, "a:ActionNotSupported", "action not supported"))

    def item(self, name):
        # A WQL projection answers with an XML fragment holding the selected properties.
        if self.server.name_nil:
            value = '<Name xsi:nil="true" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"/>'
        else:
            value = f"<Name>{xml_escape(name)}</Name>"
        return f'<w:XmlFragment xmlns:w="{NS["w"]}">{value}</w:XmlFragment>'


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, log, computer_name, name_nil, acceptor_creds):
        self.log = log
        self.computer_name = computer_name
        self.name_nil = name_nil
        self.acceptor_creds = acceptor_creds
        self._count = 0
        self._count_lock = threading.Lock()
        super().__init__(address, Handler)

    def next_connection(self):
        with self._count_lock:
            self._count += 1
            return self._count


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bind", required=True)
    parser.add_argument("--port", type=int, default=5985)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--name", required=True, help="the computer name the query answers")
    parser.add_argument("--log", required=True)
    parser.add_argument("--name-nil", action="store_true", help="answer the object with a null Name")
    args = parser.parse_args()
    if re.search(r"[:\r\n]", args.user) or re.search(r"[\r\n]", args.password):
        sys.exit("wsman_server: user must not hold ':' or line ends, password no line ends")

    private = tempfile.mkdtemp(prefix="wsman-")
    try:
        users = os.path.join(private, "users")
        fd = os.open(users, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(f"{args.name.upper()}:{args.user}:{args.password}\n")
        os.environ["NTLM_USER_FILE"] = users
        os.environ["NETBIOS_COMPUTER_NAME"] = args.name.upper()[:15]
        os.environ["NETBIOS_DOMAIN_NAME"] = args.name.upper()[:15]

        mech = gssapi.OID.from_int_seq(NTLM_OID)
        creds = gssapi.Credentials(usage="accept", mechs=[mech])
        log = Log(args.log)
        server = Server((args.bind, args.port), log, args.name, args.name_nil, creds)

        def stop(signum, frame):
            raise SystemExit(0)

        signal.signal(signal.SIGTERM, stop)
        signal.signal(signal.SIGINT, stop)
        log.line(f"listening on {args.bind}:{args.port}")
        try:
            server.serve_forever(poll_interval=0.2)
        finally:
            server.server_close()
            log.line("stopped")
    finally:
        shutil.rmtree(private, ignore_errors=True)


if __name__ == "__main__":
    main()
