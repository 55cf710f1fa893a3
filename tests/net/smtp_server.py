"""A loopback mail submission server for the tests.

Offers AUTH over plain TCP (LOGIN and PLAIN unless told otherwise) and
accepts one account; every
attempt is appended to auth.log in the spool folder as
"<mechanism> <login> ok|refused". Every message accepted is saved into its own
folder spool/message-<n>/ before the server answers the DATA command: the raw
bytes, the envelope, and the headers and body as Python's email package
decodes them, one file each, so a test can read them without parsing MIME.

Prints the port on the first line of stdout once the server listens, then
serves until stdin is closed or the process is terminated.
"""

import argparse
import email
import email.policy
import os
import socket
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def write(folder, name, text):
    with open(os.path.join(folder, name), "w", encoding="utf-8", newline="") as out:
        out.write(text)


def decoded_fields(raw):
    message = email.message_from_bytes(raw, policy=email.policy.default)
    sender = message["From"].addresses[0]
    recipients = [a.addr_spec for a in message["To"].addresses]
    fields = {
        "from_name": sender.display_name,
        "from_address": sender.addr_spec,
        "to": "\n".join(recipients),
        "subject": str(message["Subject"]),
        "content_type": message.get_content_type(),
        "charset": message.get_content_charset() or "",
        "transfer_encoding": message.get("Content-Transfer-Encoding", ""),
        "mime_version": message.get("MIME-Version", ""),
        "date": message.get("Date", ""),
        "message_id": message.get("Message-ID", ""),
        "parts": str(sum(1 for _ in message.walk())),
        # Lines travel with CRLF ends; a mail reader shows them as lines.
        "body": message.get_content().replace("\r\n", "\n"),
    }
    return fields


class SavingHandler:
    def __init__(self, spool):
        self.spool = spool
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        folder = os.path.join(self.spool, f"message-{number}")
        partial = folder + ".partial"
        os.makedirs(partial)
        raw = envelope.original_content or envelope.content
        with open(os.path.join(partial, "raw.eml"), "wb") as out:
            out.write(raw)
        write(partial, "envelope_from", envelope.mail_from)
        write(partial, "envelope_to", "\n".join(envelope.rcpt_tos))
        write(partial, "auth_login", (session.login_data or b"").decode("utf-8", "replace"))
        try:
            for name, text in decoded_fields(raw).items():
                write(partial, name, text)
        except Exception as error:  # a malformed message is still saved raw
            write(partial, "parse_error", repr(error))
        # The folder appears whole, so a reader never sees half a message.
        os.rename(partial, folder)
        return "250 2.0.0 Message accepted"


def make_authenticator(spool, user, password):
    def authenticate(server, session, envelope, mechanism, auth_data):
        login = ""
        accepted = False
        if isinstance(auth_data, LoginPassword):
            login = auth_data.login.decode("utf-8", "replace")
            accepted = auth_data.login == user.encode() and auth_data.password == password.encode()
        with open(os.path.join(spool, "auth.log"), "a", encoding="utf-8") as log:
            log.write(f"{mechanism} {login} {'ok' if accepted else 'refused'}\n")
        # handled=False: the server itself answers a refusal with its 535 reply.
        return AuthResult(success=accepted, handled=False, auth_data=auth_data)

    return authenticate


def exit_when_stdin_closes():
    sys.stdin.read()
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spool", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--auth", choices=["login-and-plain", "plain-only", "none"],
                        default="login-and-plain", help="the AUTH mechanisms offered")
    args = parser.parse_args()

    settings = dict(hostname="127.0.0.1", port=free_port(), server_hostname="mail.test")
    if args.auth == "none":
        settings.update(auth_require_tls=True)  # never offered over plain TCP
    else:
        settings.update(authenticator=make_authenticator(args.spool, args.user, args.password),
                        auth_require_tls=False, auth_required=True)
        if args.auth == "plain-only":
            settings.update(auth_exclude_mechanism=["LOGIN"])
    controller = Controller(SavingHandler(args.spool), **settings)
    controller.start()

    print(controller.port, flush=True)
    threading.Thread(target=exit_when_stdin_closes, daemon=True).start()
    threading.Event().wait()


if __name__ == "__main__":
    main()
