#!/usr/bin/python3
"""A scripted TLS server for the socket tests, on 127.0.0.1 (Python's ssl module, OpenSSL).

Prints "PORT <n>" as its first line on standard output (flushed), then serves one connection
after the other until standard input reaches end of file. After each connection it prints one
line saying how the client ended the session: "END close_notify", "END eof" (the connection
closed without close_notify) or "END error <text>".

Modes (--mode):
  echo        TLS from the first byte; every byte received is sent back.
  starttls    plain first: "220 plain\\r\\n", then each line is answered "250 ok\\r\\n" until
              "STARTTLS\\r\\n", answered "220 go ahead\\r\\n" (followed at once by the bytes of
              --inject, if given); then TLS and echo as above.
  plain       a plain-text server: sends "220 plain smtp\\r\\n" and reads until the client goes.
  close       reads the first bytes of the client (its hello) and closes the connection.
  lines       TLS from the first byte; sends --count lines "line <i>\\r\\n" in one write, then
              echoes.
  forge       TLS from the first byte; right after the handshake a record that the TLS session did
              not make (random bytes with a valid record header) is written on the connection.
With --tls12 the server offers TLS 1.2 at most.
"""
import argparse
import os
import select
import socket
import ssl
import sys


def serve_tls(conn, context, opts, out):
    tls = context.wrap_socket(conn, server_side=True, suppress_ragged_eofs=False)
    if opts.mode == "lines":
        tls.sendall(b"".join(b"line %d\r\n" % i for i in range(1, opts.count + 1)))
    if opts.mode == "forge":
        os.write(tls.fileno(), b"\x17\x03\x03\x00\x20" + os.urandom(32))
    try:
        while True:
            data = tls.recv(65536)
            if not data:
                out.write("END close_notify\n")
                break
            tls.sendall(data)
    except ssl.SSLEOFError:
        out.write("END eof\n")
    except (ssl.SSLError, OSError) as e:
        out.write("END error %s\n" % e)
    finally:
        out.flush()
        try:
            tls.close()
        except OSError:
            pass


def read_line(conn):
    line = b""
    while not line.endswith(b"\n"):
        c = conn.recv(1)
        if not c:
            return None
        line += c
    return line


def handle(conn, context, opts, out):
    if opts.mode in ("echo", "lines", "forge"):
        try:
            serve_tls(conn, context, opts, out)
        except (ssl.SSLError, OSError) as e:
            out.write("END error %s\n" % e)
            out.flush()
        return
    if opts.mode == "plain":
        conn.sendall(b"220 plain smtp\r\n")
        while conn.recv(4096):
            pass
        out.write("END eof\n")
        out.flush()
        return
    if opts.mode == "close":
        conn.recv(4096)
        conn.close()
        out.write("END eof\n")
        out.flush()
        return
    # starttls
    conn.sendall(b"220 plain\r\n")
    while True:
        line = read_line(conn)
        if line is None:
            out.write("END eof\n")
            out.flush()
            return
        if line.strip().upper() == b"STARTTLS":
            conn.sendall(b"220 go ahead\r\n" + opts.inject.encode())
            break
        conn.sendall(b"250 ok\r\n")
    try:
        serve_tls(conn, context, opts, out)
    except (ssl.SSLError, OSError) as e:
        out.write("END error %s\n" % e)
        out.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", default="echo",
                        choices=["echo", "starttls", "plain", "close", "lines", "forge"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--inject", default="")
    parser.add_argument("--count", type=int, default=3)
    parser.add_argument("--tls12", action="store_true", help="offer TLS 1.2 at most")
    opts = parser.parse_args()

    context = None
    if opts.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        if opts.tls12:
            context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(opts.cert, opts.key)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    out = sys.stdout
    out.write("PORT %d\n" % listener.getsockname()[1])
    out.flush()
    while True:
        ready, _, _ = select.select([listener, sys.stdin], [], [])
        if sys.stdin in ready and not os.read(sys.stdin.fileno(), 1):
            return
        if listener in ready:
            conn, _ = listener.accept()
            with conn:
                handle(conn, context, opts, out)


if __name__ == "__main__":
    main()
