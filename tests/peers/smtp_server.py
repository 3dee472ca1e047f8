#!/usr/bin/python3
"""A real SMTP server for tests: python3-aiosmtpd (Debian) on 127.0.0.1 (or ::1).

Run with /usr/bin/python3 (the Debian interpreter that can import aiosmtpd). The server listens
on a free loopback port and prints "PORT <n>" as its first line on standard output (flushed),
then serves until it is terminated (SIGTERM/SIGINT) or standard input reaches end of file
when --stdin-eof is given.

Every accepted message is saved in the folder given by --dir as
    msg-<n>.eml       the raw data as received (after the server removed dot-stuffing)
    msg-<n>.env       the envelope: "FROM <sender>" then one "RCPT <recipient>" line each
    msg-<n>.opt       the MAIL FROM parameters (one line, blank-separated), when there were any
numbered from 1 in the order of acceptance. msg-<n>.env is written after msg-<n>.eml, so a
test that sees the .env file can read the whole message.

Options:
  --dir DIR             folder for the saved messages (required; created when missing)
  --refuse-rcpt ADDR    answer RCPT TO for ADDR with "550 5.1.1 <ADDR>: Recipient address
                        rejected" (repeatable; compared without angle brackets, ignoring case)
  --refuse-rcpt-unnamed ADDR
                        the same refusal without the address: "550 5.1.1 Mailbox unavailable"
  --fail-first N        refuse the first N transactions (default 0), at the point --fail-at
                        names, with --fail-code; transactions after them are accepted
  --fail-at WHERE       connect | mail | rcpt | data  (default mail). "connect" answers the
                        greeting with the code and closes; "data" refuses after the data was
                        received (the reply to the final ".")
  --fail-code CODE      reply code for --fail-first (default 451; 554 for a permanent refusal)
  --fail-text TEXT      the whole refusal line for --fail-first instead of the code's text
  --close-in-data N     for the first N transactions, answer DATA with 354, read one line of
                        the data, then close the connection without a reply (default 0)
  --size-limit N        the message size limit announced with SIZE and enforced (default 1 GiB)
  --tls-cert FILE       certificate chain (PEM) for TLS; with --tls-key
  --tls-key FILE        its private key (PEM)
  --starttls            offer STARTTLS and refuse everything but EHLO, NOOP, QUIT before it
                        ("530 Must issue a STARTTLS command first")
  --implicit-tls        speak TLS from the first byte
  --auth-user USER      require AUTH (over TLS only) as USER with --auth-password; a wrong
                        login gets "535 5.7.8 Authentication credentials invalid"
  --auth-password PW
  --auth-exclude MECH   do not offer this AUTH mechanism (repeatable)
  --stdin-eof           also stop when standard input reaches end of file (so that the
                        server ends with the process that started it)
  --log                 log the SMTP conversation to standard error
  --smtputf8            announce SMTPUTF8 (RFC 6531) and take addresses beyond ASCII with it
  --host ADDR           the loopback address to listen on (default 127.0.0.1; ::1 for IPv6)
  --commands FILE       append every HELO/EHLO, RSET and QUIT command line to FILE as it
                        arrives (what a server's log would show of how a session ended)
  --oauth-token TOKEN   with --auth-user: also offer OAUTHBEARER (RFC 7628) and accept this
                        bearer token; a wrong one gets the JSON error challenge, which must be
                        answered with a lone 0x01 (then 535; any other answer gets 501)
  --stall-at-mail       never answer MAIL FROM; write the file "stalled" into --dir when it
                        arrives (a client held right after its login, for a look at its memory)

Refusals and closes are counted per transaction (one MAIL FROM ... DATA), except "connect",
which counts connections.
"""
import argparse
import asyncio
import base64
import os
import signal
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Handler:
    def __init__(self, opts):
        self.opts = opts
        self.saved = 0
        self.fail_left = opts.fail_first
        self.close_left = opts.close_in_data
        self.refused = {a.strip('<>').lower() for a in opts.refuse_rcpt}
        self.refused_unnamed = {a.strip('<>').lower() for a in opts.refuse_rcpt_unnamed}

    def _fail_here(self, where):
        if self.fail_left > 0 and self.opts.fail_at == where:
            self.fail_left -= 1
            return True
        return False

    def failure_text(self):
        if self.opts.fail_text:
            return self.opts.fail_text
        code = self.opts.fail_code
        if code < 500:
            return f"{code} Temporary failure, please try again later"
        return f"{code} Transaction failed"

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        if self.opts.stall_at_mail:
            with open(os.path.join(self.opts.dir, "stalled"), "w"):
                pass
            await asyncio.sleep(3600)
        if self._fail_here("mail"):
            return self.failure_text()
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.strip('<>').lower() in self.refused:
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        if address.strip('<>').lower() in self.refused_unnamed:
            return "550 5.1.1 Mailbox unavailable"
        if self._fail_here("rcpt"):
            return self.failure_text()
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self._fail_here("data"):
            return self.failure_text()
        self.saved += 1
        base = os.path.join(self.opts.dir, f"msg-{self.saved}")
        data = envelope.original_content or b""
        with open(base + ".eml.tmp", "wb") as f:
            f.write(data)
        os.replace(base + ".eml.tmp", base + ".eml")
        if envelope.mail_options:
            with open(base + ".opt", "w", encoding="utf-8") as f:
                f.write(" ".join(envelope.mail_options) + "\n")
        with open(base + ".env.tmp", "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(f"FROM {envelope.mail_from}\n")
            for r in envelope.rcpt_tos:
                f.write(f"RCPT {r}\n")
        os.replace(base + ".env.tmp", base + ".env")
        return "250 Message accepted for delivery"


class TestSMTP(SMTP):
    """aiosmtpd's server with the fault injections that need the protocol itself."""

    handler_ref = None

    async def _handle_client(self):
        h = self.handler_ref
        if h._fail_here("connect"):
            await self.push(h.failure_text())
            self.transport.close()
            return
        await super()._handle_client()

    def _note(self, line):
        if self.handler_ref.opts.commands:
            with open(self.handler_ref.opts.commands, "a", encoding="utf-8",
                      errors="surrogateescape") as f:
                f.write(line + "\n")

    async def smtp_HELO(self, arg):
        self._note(f"HELO {arg}")
        await super().smtp_HELO(arg)

    async def smtp_EHLO(self, arg):
        self._note(f"EHLO {arg}")
        await super().smtp_EHLO(arg)

    async def smtp_RSET(self, arg):
        self._note("RSET")
        await super().smtp_RSET(arg)

    async def smtp_QUIT(self, arg):
        self._note("QUIT")
        await super().smtp_QUIT(arg)

    async def auth_OAUTHBEARER(self, _, args):
        token = self.handler_ref.opts.oauth_token.encode()
        try:
            message = base64.b64decode(args[1].encode(), validate=True) if len(args) > 1 else b""
        except Exception:
            await self.push("501 5.5.2 Can't decode base64")
            return AuthResult(success=False, handled=True)
        pairs = message.split(b"\x01")
        if (message.startswith(b"n,") and message.endswith(b"\x01\x01")
                and b"auth=Bearer " + token in pairs):
            return AuthResult(success=True)
        error = b'{"status":"invalid_token","scope":"mail","schemes":"Bearer"}'
        answer = await self.challenge_auth(error)
        if answer != b"\x01":
            await self.push("501 5.5.2 The error challenge is answered with a lone 0x01")
            return AuthResult(success=False, handled=True)
        return AuthResult(success=False, handled=False)

    async def smtp_DATA(self, arg):
        h = self.handler_ref
        if h.close_left > 0 and self.envelope.rcpt_tos:
            h.close_left -= 1
            await self.push("354 End data with <CR><LF>.<CR><LF>")
            await self._reader.readuntil(b"\r\n")
            self.transport.close()
            return
        await super().smtp_DATA(arg)


def make_authenticator(opts):
    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword)
              and auth_data.login == opts.auth_user.encode()
              and auth_data.password == opts.auth_password.encode())
        return AuthResult(success=ok, handled=False)  # a refusal gets the standard 535
    return authenticate


async def main(opts):
    os.makedirs(opts.dir, exist_ok=True)
    handler = Handler(opts)
    TestSMTP.handler_ref = handler
    loop = asyncio.get_running_loop()
    context = None
    if opts.tls_cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(opts.tls_cert, opts.tls_key)
    # Without a login to check, no mechanism is offered (aiosmtpd's own would be announced).
    auth = dict(auth_exclude_mechanism=["LOGIN", "PLAIN", "OAUTHBEARER"])
    if opts.auth_user:
        exclude = opts.auth_exclude + ([] if opts.oauth_token else ["OAUTHBEARER"])
        auth = dict(auth_required=True, authenticator=make_authenticator(opts),
                    auth_exclude_mechanism=exclude,
                    # Over implicit TLS the session is encrypted from the start.
                    auth_require_tls=not opts.implicit_tls)
    # 1 GiB by default: the tests decide how much they send; aiosmtpd's 32 MiB would refuse more.
    server = await loop.create_server(
        lambda: TestSMTP(handler, hostname="tarvik-test", data_size_limit=opts.size_limit,
                         tls_context=context if opts.starttls else None,
                         require_starttls=opts.starttls, enable_SMTPUTF8=opts.smtputf8,
                         **auth),
        host=opts.host, port=0, ssl=context if opts.implicit_tls else None)
    port = server.sockets[0].getsockname()[1]
    print(f"PORT {port}", flush=True)

    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    if opts.stdin_eof:
        def on_stdin():
            if not sys.stdin.buffer.read1(4096):
                loop.remove_reader(sys.stdin.fileno())
                stop.set()
        loop.add_reader(sys.stdin.fileno(), on_stdin)
    await stop.wait()
    server.close()


if __name__ == "__main__":
    p = argparse.ArgumentParser(description="aiosmtpd test server on loopback")
    p.add_argument("--dir", required=True)
    p.add_argument("--refuse-rcpt", action="append", default=[])
    p.add_argument("--refuse-rcpt-unnamed", action="append", default=[])
    p.add_argument("--fail-first", type=int, default=0)
    p.add_argument("--fail-at", choices=["connect", "mail", "rcpt", "data"], default="mail")
    p.add_argument("--fail-code", type=int, default=451)
    p.add_argument("--fail-text", default="")
    p.add_argument("--close-in-data", type=int, default=0)
    p.add_argument("--size-limit", type=int, default=1 << 30)
    p.add_argument("--tls-cert", default="")
    p.add_argument("--tls-key", default="")
    p.add_argument("--starttls", action="store_true")
    p.add_argument("--implicit-tls", action="store_true")
    p.add_argument("--auth-user", default="")
    p.add_argument("--auth-password", default="")
    p.add_argument("--auth-exclude", action="append", default=[])
    p.add_argument("--stdin-eof", action="store_true")
    p.add_argument("--log", action="store_true")
    p.add_argument("--smtputf8", action="store_true")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--commands")
    p.add_argument("--stall-at-mail", action="store_true")
    p.add_argument("--oauth-token", default="")
    opts = p.parse_args()
    if opts.log:
        import logging
        logging.basicConfig(level=logging.DEBUG, stream=sys.stderr)
    asyncio.run(main(opts))
