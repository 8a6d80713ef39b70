#!/usr/bin/env python3
"""A second, independent IMAP client for the IMAP tests (Python's imaplib): it puts
mail on the test server and reports what the server holds.

usage: peek.py PORT USER PASSWORD COMMAND [ARGS]
  dump MAILBOX                first {"uidvalidity", "uidnext"}, then per message
                              {"uid", "flags", "date", "size", "sha256", "token", "subject",
                               "attachments": {file name: SHA-256 of its decoded bytes}}
  fill MAILBOX N [KB]         appends N numbered messages of about KB kilobytes, with
                              varied flags, dates and zones (makes MAILBOX)
  append MAILBOX FLAGS DATE TEXT|@FILE
  flag MAILBOX UID FLAGS      UID STORE +FLAGS
  delete MAILBOX UID          \\Deleted, then UID EXPUNGE
  create MAILBOX
  renumber MAILBOX            copies it away, deletes it, renames the copy back
"""
import email.parser
import hashlib
import imaplib
import json
import re
import sys


def ok(result):
    if result[0] != "OK":
        sys.exit("peek: %r" % (result[1],))
    return result[1]


def numbered(i, kb):
    zone = ["+0200", "-0530", "+0000"][i % 3]
    date = '"%02d-Jan-2020 %02d:%02d:%02d %s"' % (1 + i % 28, i % 24, i % 60, (7 * i) % 60, zone)
    flags = (["\\Seen"] if i % 3 == 0 else []) + (["$Forwarded", "\\Flagged"] if i % 5 == 0 else [])
    body = "".join("line %d of message %d\r\n" % (n, i) for n in range(max(1, kb * 1024 // 24)))
    text = "From: a@example.com\r\nSubject: Message %d\r\nMessage-ID: <m%d@example.com>\r\n\r\n%s" % (i, i, body)
    return "(%s)" % " ".join(flags), date, text.encode()


def main():
    port, user, password, command, args = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
    imap = imaplib.IMAP4("127.0.0.1", port)
    ok(imap.login(user, password))
    box = '"%s"' % args[0]
    if command == "dump":
        ok(imap.select(box))
        status = ok(imap.status(box, "(UIDVALIDITY UIDNEXT)"))[0].decode()
        print(json.dumps({k.lower(): int(re.search(k + r" (\d+)", status).group(1)) for k in ("UIDVALIDITY", "UIDNEXT")}))
        for item in ok(imap.uid("FETCH", "1:*", "(UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[])")):
            if not isinstance(item, tuple):
                continue
            meta, body = item[0].decode(), item[1]
            head = email.parser.BytesHeaderParser().parsebytes(body)
            whole = email.message_from_bytes(body)
            files = {p.get_filename(): hashlib.sha256(p.get_payload(decode=True) or b"").hexdigest()
                     for p in whole.walk() if p.get_filename()}
            flags = re.search(r"FLAGS \(([^)]*)\)", meta).group(1).split()
            print(json.dumps({
                "uid": int(re.search(r"UID (\d+)", meta).group(1)),
                "flags": sorted(f for f in flags if f != "\\Recent"),
                "date": re.search(r'INTERNALDATE "([^"]+)"', meta).group(1),
                "size": int(re.search(r"RFC822.SIZE (\d+)", meta).group(1)),
                "sha256": hashlib.sha256(body).hexdigest(),
                "token": head.get("X-Stowbright-Replacement", ""),
                "subject": head.get("Subject", ""),
                "attachments": files}))
    elif command == "fill":
        imap.create(box)  # fails harmlessly when it exists
        for i in range(1, int(args[1]) + 1):
            ok(imap.append(box, *numbered(i, int(args[2]) if len(args) > 2 else 0)))
    elif command == "append":
        text = open(args[3][1:], "rb").read() if args[3].startswith("@") else args[3].encode()
        ok(imap.append(box, args[1], '"%s"' % args[2], text))
    elif command in ("flag", "delete"):
        ok(imap.select(box))
        ok(imap.uid("STORE", args[1], "+FLAGS", args[2] if command == "flag" else "(\\Deleted)"))
        if command == "delete":
            ok(imap.uid("EXPUNGE", args[1]))
    elif command == "create":
        ok(imap.create(box))
    elif command == "renumber":
        ok(imap.create("renumbering"))
        ok(imap.select(box))
        ok(imap.uid("COPY", "1:*", "renumbering"))
        ok(imap.close())
        ok(imap.delete(box))
        ok(imap.rename("renumbering", box))
    imap.logout()


main()
