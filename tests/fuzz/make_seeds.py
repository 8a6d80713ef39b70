#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into DIR/<target>/: small inputs
built here (no downloaded samples) that reach the interesting paths."""
import base64
import os
import sys

out = sys.argv[1]


def put(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8", "surrogateescape"))


def message(parts, extra=""):
    head = ("From: a@example.org\r\nTo: b@example.org\r\nSubject: seed\r\n"
            "Message-ID: <seed@example.org>\r\nMIME-Version: 1.0\r\n" + extra)
    if not parts:
        return head + "Content-Type: text/html\r\n\r\n<p>hi</p>\r\n"
    body = head + 'Content-Type: multipart/mixed; boundary="b"\r\n\r\n--b\r\n'
    body += "Content-Type: text/html\r\n\r\n<p>hi</p><img src=\"cid:i1\">\r\n"
    for p in parts:
        body += "--b\r\n" + p
    return body + "--b--\r\n"


def att(name, data, enc="base64", cid=None):
    h = ('Content-Type: application/octet-stream; name="%s"\r\n'
         'Content-Disposition: attachment; filename="%s"\r\n'
         "Content-Transfer-Encoding: %s\r\n" % (name, name, enc))
    if cid:
        h += "Content-ID: <%s>\r\n" % cid
    body = base64.encodebytes(data).decode() if enc == "base64" else data.decode("latin-1")
    return h + "\r\n" + body.replace("\n", "\r\n")


t = "fuzz_maildir_item"
put(t, "plain", message([]))
put(t, "one", message([att("a.pdf", b"%PDF-1.4\n" * 20)]))
put(t, "inline", message([att("i.png", b"\x89PNG\r\n\x1a\n" + bytes(40), cid="i1")]))
put(t, "qp", message([att("q.txt", b"caf=C3=A9 =\r\nsoft", enc="quoted-printable")]))
put(t, "rfc2231", message(["Content-Type: application/octet-stream\r\nContent-Disposition: "
                           "attachment; filename*=utf-8''%2e%2e%2fx.txt\r\n\r\nxx\r\n"]))
put(t, "nested", message(["Content-Type: message/rfc822\r\n\r\n" + message([att("n.bin", b"n")])]))
put(t, "signed", message([], 'Content-Type: multipart/signed; protocol="application/'
                             'pkcs7-signature"; boundary="s"\r\n\r\n--s\r\n\r\nx\r\n--s--\r\n'))
put(t, "forged", message([att("f.txt", b"f")],
                         "X-Stowbright-Billing: v=1; value=S1pPX1BST0NFU1NFRF9JVEVN; mac=00\r\n"
                         "X-Stowbright-Property: v=1; name=UUxYUHJvY2Vzc2VkQXR0YWNobWVudHM=; "
                         "type=1; value=L2V0Yy9wYXNzd2QJcAkw; mac=00\r\n"))
put(t, "short-b64", message([att("s.bin", b"", enc="base64").rstrip() + "QUJDR\r\n"]))

t = "fuzz_records"
put(t, "two", "/home/u/att/a.pdf\ta.pdf\t0\r\n/home/u/att/i.png\ti.png\t-1")
put(t, "dup", "/x/A.pdf\tA.pdf\t0\r\n/x/a.PDF\ta.pdf\t0\r\n")
put(t, "noname", "/x/a.pdf\r\n/x/b.pdf\tb.pdf\t0")
put(t, "tabs", "\t\t\t\r\n\r\n\t")
put(t, "utf8", "/x/R\u00e9sum\u00e9.pdf\tR\u00c9SUM\u00c9.PDF\t-1")

t = "fuzz_link_block"
block = ('<br><table id=tableKZOSTART border="1"><tr><td><table id="tableKZO2"><tr><td>'
         "<ul><li><a href='/x/a.pdf'>a.pdf</a></li></ul></td></tr></table></td></tr></table>"
         "<table id=tableKZOEND><tr><td>&nbsp;</td></tr></table><!--END_KZO--->")
put(t, "block-first", block + "<p>body</p>")
put(t, "block-last", "<p>body</p>" + block)
put(t, "two-blocks", block + "<p>x</p>" + block)
put(t, "old-style", "<table id=tableKZOSTART><tr><td>x</td></tr></table><table id=tableKZOEND>"
                    "<tr><td></td></tr></TABLE>rest")
put(t, "end-before-start", "<!--END_KZO---><br><table id=tableKZOSTART>")

t = "fuzz_registry_value"
for i, (typ, data) in enumerate([(1, "C:\\att".encode("utf-16-le")), (4, b"\x01\x00\x00\x00"),
                                  (3, b"\xff\xfe"), (7, "a\0b\0\0".encode("utf-16-le")),
                                  (1, b"x"), (11, b"\x00" * 8), (2, "%HOME%\\x".encode("utf-16-le"))]):
    put(t, "v%d" % i, bytes([typ]) + data)

# Selectors, one per line, over the folder fuzz_item_selector builds (entry ids are
# the unique parts of its file names).
t = "fuzz_item_selector"
put(t, "numbers", "1\n2\n3\n4")
put(t, "all", "ALL")
put(t, "ids", "1709543700.M1P1.fuzz\n1709543702.M3P1.fuzz\n1")
put(t, "dup", "2\n2\n1709543701.M2P1.fuzz\nall")
put(t, "unknown", "0\n5\n-1\n+1\n 1\n99999999999999999999")
put(t, "case", "1709543703.M4P1.FUZZ\nAll")
