#!/usr/bin/env python3
"""The detach script a user would write with Python's standard email package.

For every message of a Maildir folder: save each attachment (inline images included)
under its file name in OUT (a number is added when the name is taken), take it out
of the message, and write the message back through a temporary file and a rename.
Like most such scripts it does not fsync; pass --fsync to make it flush every saved
file and rewritten message as stowbright does.

  py_detach.py MAILDIR OUT [--fsync]
"""

import email
import email.policy
import os
import sys


def unique_path(out, name):
    name = os.path.basename(name.replace("\\", "_")) or "attachment"
    path = os.path.join(out, name)
    stem, ext = os.path.splitext(name)
    n = 1
    while os.path.exists(path):
        path = os.path.join(out, "%s (%d)%s" % (stem, n, ext))
        n += 1
    return path


def write_file(path, data, sync):
    with open(path, "wb") as f:
        f.write(data)
        if sync:
            f.flush()
            os.fsync(f.fileno())


def detach(path, out, sync):
    with open(path, "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    saved = 0
    parts = list(msg.walk())
    for part in parts:
        if part.is_multipart():
            continue
        name = part.get_filename()
        if not name:
            continue
        data = part.get_payload(decode=True) or b""
        write_file(unique_path(out, name), data, sync)
        saved += 1
    if not saved:
        return 0
    # Take the saved parts out of every multipart that holds them.
    for part in parts:
        if part.is_multipart():
            kept = [p for p in part.get_payload() if p.is_multipart() or not p.get_filename()]
            part.set_payload(kept)
    tmp = path + ".tmp"
    write_file(tmp, msg.as_bytes(), sync)
    os.replace(tmp, path)
    if sync:
        fd = os.open(os.path.dirname(path), os.O_RDONLY)
        os.fsync(fd)
        os.close(fd)
    return saved


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    sync = "--fsync" in sys.argv[1:]
    if len(args) != 2:
        sys.exit(__doc__)
    maildir, out = args
    os.makedirs(out, exist_ok=True)
    total = 0
    for sub in ("cur", "new"):
        d = os.path.join(maildir, sub)
        for name in sorted(os.listdir(d)):
            total += detach(os.path.join(d, name), out, sync)
    print("saved %d attachments" % total)


if __name__ == "__main__":
    main()
