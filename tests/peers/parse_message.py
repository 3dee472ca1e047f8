#!/usr/bin/python3
"""Parses a saved message (msg-<n>.eml of smtp_server.py) with Python's email package.

Usage: parse_message.py MESSAGE [--parts-dir DIR] [--policy compat32|default]

Prints, one item per line (values as the parser decoded them):
    header <Name>: <value>          every header of the message, in order
    multipart <yes|no>
    boundary <boundary or empty>
    defects <count>                 parser defects in the message and all its parts (with
                                    --policy default also those of every header)
    defect <where>: <text>          each of them: "message", "part <i>" or a header's name
    mailbox <header> <i>: <display name> <address>
                                    with --policy default: each mailbox of From, To, Cc,
                                    Sender, Reply-To as the parser took it apart (display name in
                                    double quotes, the address in angle brackets)
    part <i> type=<content type> charset=<charset> name=<name param> filename=<filename>
             encoding=<transfer encoding> size=<bytes of the decoded payload>
    preamble-lines <count>

Parts are the leaves of the message (the message itself when it is not multipart), numbered
from 0. With --parts-dir, each part's decoded payload is written to DIR/part-<i> so that a test
can compare it byte for byte. --policy default parses as a modern reader does (headers decoded
from RFC 2047 words); compat32, the default here, keeps them as they arrived.
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
    p.add_argument("--policy", choices=["compat32", "default"], default="compat32")
    opts = p.parse_args()
    policy = email.policy.default if opts.policy == "default" else email.policy.compat32
    with open(opts.message, "rb") as f:
        msg = email.message_from_binary_file(f, policy=policy)
    out = []
    defects = [("message", d) for d in msg.defects]
    for name, value in msg.items():
        out.append(f"header {name}: {value}")
        defects += [(name, d) for d in getattr(value, "defects", ())]
    if opts.policy == "default":
        for name in ("From", "To", "Cc", "Sender", "Reply-To"):
            for i, a in enumerate(getattr(msg[name], "addresses", ()) if msg[name] else ()):
                out.append(f'mailbox {name} {i}: "{a.display_name}" <{a.addr_spec}>')
    out.append(f"multipart {'yes' if msg.is_multipart() else 'no'}")
    out.append(f"boundary {msg.get_boundary() or ''}")
    parts = []
    for part in msg.walk():
        if part is not msg:
            where = f"part {len(parts)}"
            defects += [(where, d) for d in part.defects]
            for name, value in part.items():
                defects += [(f"{where} {name}", d) for d in getattr(value, "defects", ())]
        if not part.is_multipart():
            parts.append(part)
    out.append(f"defects {len(defects)}")
    out += [f"defect {where}: {d}" for where, d in defects]
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
