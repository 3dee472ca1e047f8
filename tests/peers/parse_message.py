#!/usr/bin/python3
"""Parses a saved message (msg-<n>.eml of smtp_server.py) with Python's email package.

Usage: parse_message.py MESSAGE [--parts-dir DIR]

Prints, one item per line (values as the parser decoded them):
    header <Name>: <value>          every header of the message, in order
    multipart <yes|no>
    boundary <boundary or empty>
    defects <count>                 parser defects in the message and all its parts
    part <i> type=<content type> charset=<charset> name=<name param> filename=<filename>
             encoding=<transfer encoding> size=<bytes of the decoded payload>
    preamble-lines <count>

Parts are the leaves of the message (the message itself when it is not multipart), numbered
from 0. With --parts-dir, each part's decoded payload is written to DIR/part-<i> so that a test
can compare it byte for byte.
"""
import argparse
import email
import email.policy
import os
import sys


def main():
    p = argparse.ArgumentParser()
    p.add_argument("message")
    p.add_argument("--parts-dir")
    opts = p.parse_args()
    with open(opts.message, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.compat32)
    out = []
    for name, value in msg.items():
        out.append(f"header {name}: {value}")
    out.append(f"multipart {'yes' if msg.is_multipart() else 'no'}")
    out.append(f"boundary {msg.get_boundary() or ''}")
    defects = len(msg.defects)
    parts = []
    for part in msg.walk():
        defects += len(part.defects) if part is not msg else 0
        if not part.is_multipart():
            parts.append(part)
    out.append(f"defects {defects}")
    for i, part in enumerate(parts):
        payload = part.get_payload(decode=True) or b""
        out.append(
            f"part {i} type={part.get_content_type()} charset={part.get_content_charset() or ''}"
            f" name={part.get_param('name') or ''} filename={part.get_filename() or ''}"
            f" encoding={part.get('Content-Transfer-Encoding', '')} size={len(payload)}")
        if opts.parts_dir:
            with open(os.path.join(opts.parts_dir, f"part-{i}"), "wb") as f:
                f.write(payload)
    preamble = msg.preamble or ""
    out.append(f"preamble-lines {len(preamble.splitlines())}")
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
