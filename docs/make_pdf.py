#!/usr/bin/env python3
"""Renders a plain-text manual as a simple PDF (one Courier page per 60 lines).

Usage: make_pdf.py INPUT.txt OUTPUT.pdf
Only the standard library is used, so the manual builds wherever Python does.
"""
import sys

LINES_PER_PAGE = 60


def escape(text):
    return text.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")


def build(lines):
    pages = [lines[i:i + LINES_PER_PAGE] for i in range(0, max(len(lines), 1), LINES_PER_PAGE)]
    objects = []  # bodies of objects 1..n
    objects.append(b"<< /Type /Catalog /Pages 2 0 R >>")
    objects.append(None)  # the page tree, filled in below
    objects.append(b"<< /Type /Font /Subtype /Type1 /BaseFont /Courier >>")
    kids = []
    for page in pages:
        stream = ["BT /F1 10 Tf 12 TL 50 800 Td"]
        for line in page:
            stream.append("(%s) '" % escape(line.encode("latin-1", "replace").decode("latin-1")))
        stream.append("ET")
        data = "\n".join(stream).encode("latin-1")
        objects.append(b"<< /Length %d >>\nstream\n" % len(data) + data + b"\nendstream")
        content = len(objects)
        objects.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] "
                       b"/Resources << /Font << /F1 3 0 R >> >> /Contents %d 0 R >>" % content)
        kids.append(len(objects))
    objects[1] = b"<< /Type /Pages /Kids [%s] /Count %d >>" % (
        b" ".join(b"%d 0 R" % k for k in kids), len(kids))
    out = bytearray(b"%PDF-1.4\n")
    offsets = []
    for number, body in enumerate(objects, start=1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    for offset in offsets:
        out += b"%010d 00000 n \n" % offset
    out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (
        len(objects) + 1, xref)
    return bytes(out)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().splitlines()
    with open(sys.argv[2], "wb") as f:
        f.write(build(lines))


if __name__ == "__main__":
    main()
