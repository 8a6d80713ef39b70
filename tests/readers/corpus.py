#!/usr/bin/env python3
"""Detaches a corpus of real mail shapes with the real program, then reads the result
as other mail readers do: Python's email parser (defects, structure), a text reader
(the plain-text list), a browser's view of every link (each must name its saved
file) and, with --chromium, headless Chromium itself following each link. After
re-attach every body and every attachment must be back byte for byte.

Usage: corpus.py STOWBRIGHT [--chromium]   (exit 77: skipped, with the reason)
"""
import email
import email.policy
import hashlib
import html.parser
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
from email.message import EmailMessage

SKIP = 77
TOKEN = "SYS_TOKEN_5555.TXT"


def mail(subject, n):
    m = EmailMessage()
    m["From"] = "Ann Example <ann@example.org>"
    m["To"] = "bob@example.org"
    m["Subject"] = subject
    m["Date"] = "Mon, 07 Dec 2026 10:%02d:00 +0100" % n
    m["Message-ID"] = "<corpus-%d@example.org>" % n
    return m


def text_file(m, name, body):
    m.add_attachment(body.encode(), maintype="text", subtype="plain", filename=name)


def corpus():
    """(name, bytes) of each mail, as Python's generator writes them."""
    out = []

    m = mail("Alternative with a PDF", 1)
    m.set_content("Hello Bob,\nthe invoice is attached.\n")
    m.add_alternative("<html><body><p>Hello Bob,</p><p>the invoice</p></body></html>",
                      subtype="html")
    m.add_attachment(b"%PDF-1.4 invoice", maintype="application", subtype="pdf",
                     filename="invoice#42.pdf")
    text_file(m, "100% sure & <ready>.txt", "percent and markup\n")
    out.append(("alternative", m))

    m = mail("Plain text only", 2)
    m.set_content("Dear <with> team,\n  indented line\n\nlast line & more\n")
    text_file(m, 'he said "hi" it\'s.txt', "quotes\n")
    text_file(m, "Отчёт за год.txt", "non-Latin name\n")
    out.append(("plain", m))

    m = mail("Latin-1 HTML", 3)
    m.set_content("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
                  "charset=iso-8859-1\"></head><body>Café crème</body></html>",
                  subtype="html", charset="iso-8859-1", cte="quoted-printable")
    text_file(m, "a b  c.txt", "blanks\n")
    text_file(m, "Ωmega.txt", "a name Latin-1 cannot write\n")
    out.append(("latin1", m))

    m = mail("Inline image", 4)
    m.set_content("see the picture")
    m.add_alternative("<html><body><img src=\"cid:pic1@example.org\"></body></html>",
                      subtype="html")
    html_part = m.get_payload()[1]
    html_part.add_related(b"\x89PNG\r\n\x1a\nfake", maintype="image", subtype="png",
                          cid="<pic1@example.org>")
    text_file(m, "notes?.txt", "question mark\n")
    out.append(("inline", m))

    m = mail("Forwarded", 5)
    m.set_content("Forwarding the mail below.\n")
    inner = mail("Inner", 50)
    inner.set_content("inner text\n")
    text_file(inner, "inner.txt", "inner attachment\n")
    m.add_attachment(inner)
    out.append(("forwarded", m))

    m = mail("Latin-1 plain text", 6)
    m.set_content("Grüße aus Köln\nzweite Zeile\n", charset="iso-8859-1",
                  cte="quoted-printable")
    text_file(m, "naïve.txt", "diaeresis\n")
    out.append(("plain-latin1", m))

    raw = [(name, m.as_bytes(policy=email.policy.default)) for name, m in out]
    raw.append(("report", REPORT))
    raw.append(("pgp-signed", signed("application/pgp-signature", 7)))
    raw.append(("smime-signed", signed("application/pkcs7-signature", 8)))
    # Maildir files end their lines in LF, as delivery agents write them.
    raw = [(name, data.replace(b"\r\n", b"\n")) for name, data in raw]
    return raw


REPORT = (b"From: MAILER-DAEMON@example.org\r\nTo: ann@example.org\r\n"
          b"Subject: Undelivered Mail\r\nMessage-ID: <corpus-9@example.org>\r\n"
          b"Date: Mon, 07 Dec 2026 11:00:00 +0100\r\nMIME-Version: 1.0\r\n"
          b"Content-Type: multipart/report; report-type=delivery-status; boundary=\"R\"\r\n\r\n"
          b"--R\r\nContent-Type: text/plain\r\n\r\nThe mail could not be delivered.\r\n"
          b"--R\r\nContent-Type: message/delivery-status\r\n\r\nReporting-MTA: dns; example.org\r\n\r\n"
          b"Final-Recipient: rfc822; x@example.com\r\nAction: failed\r\nStatus: 5.1.1\r\n"
          b"--R\r\nContent-Type: message/rfc822-headers\r\n\r\nSubject: lost\r\n"
          b"--R--\r\n")


def signed(protocol, n):
    return ("From: ann@example.org\r\nTo: bob@example.org\r\nSubject: Signed %d\r\n"
            "Message-ID: <corpus-%d@example.org>\r\nDate: Mon, 07 Dec 2026 12:00:00 +0100\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/signed; protocol=\"%s\"; "
            "micalg=sha-256; boundary=\"S\"\r\n\r\n--S\r\n"
            "Content-Type: multipart/mixed; boundary=\"M\"\r\n\r\n--M\r\n"
            "Content-Type: text/plain\r\n\r\nsigned text\r\n--M\r\n"
            "Content-Type: text/plain; name=\"signed.txt\"\r\n"
            "Content-Disposition: attachment; filename=\"signed.txt\"\r\n\r\nsigned file\r\n"
            "--M--\r\n--S\r\nContent-Type: %s\r\n\r\nc2lnbmF0dXJl\r\n--S--\r\n"
            % (n, n, protocol, protocol)).encode()


def messages(maildir):
    """Message-ID -> (path, bytes) of every message in the Maildir's Inbox."""
    found = {}
    for sub in ("cur", "new"):
        for name in sorted(os.listdir(os.path.join(maildir, sub))):
            path = os.path.join(maildir, sub, name)
            data = open(path, "rb").read()
            msg = email.message_from_bytes(data, policy=email.policy.default)
            mid = msg["Message-ID"]
            assert mid not in found, "message twice: %s" % mid
            found[mid] = (path, data)
    return found


def parse(data):
    return email.message_from_bytes(data, policy=email.policy.default)


def defects(msg):
    return sorted(type(d).__name__ for part in msg.walk() for d in part.defects)


def leaves(msg):
    """What a reader takes from each leaf part: type, name and decoded bytes."""
    out = []
    for part in msg.walk():
        if part.is_multipart() or part.get_content_type() == "message/rfc822":
            continue
        payload = part.get_payload(decode=True) or b""
        out.append((part.get_content_type(), part.get_filename(),
                    hashlib.sha256(payload).hexdigest()))
    return out


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.hrefs = []

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.hrefs += [v for k, v in attrs if k == "href"]


def body_text(msg, subtype):
    part = msg.get_body(preferencelist=(subtype,))
    return part.get_content() if part and part.get_content_type() == "text/" + subtype else None


def file_of(url):
    parsed = urllib.parse.urlsplit(url)
    return urllib.parse.unquote(parsed.path) if parsed.scheme == "file" else None


def run(cmd, env):
    done = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode not in (0, 1):
        sys.exit("%s failed (%d):\n%s" % (" ".join(cmd), done.returncode, done.stdout.decode()))
    return done.stdout.decode()


def chromium_follows(pages, scratch):
    """Headless Chromium loads each HTML part and follows each of its links."""
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if not browser:
        print("skipped: chromium is not installed (scripts/setup installs it)")
        sys.exit(SKIP)
    base = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--allow-file-access-from-files",
            "--user-data-dir=" + os.path.join(scratch, "chromium"), "--dump-dom"]
    # The page follows its own links as the browser resolves them, and writes what
    # each gave into its DOM.
    script = ("<script>document.body.setAttribute('data-links', JSON.stringify("
              "Array.from(document.links, a => { const r = new XMLHttpRequest();"
              " r.open('GET', a.href, false); try { r.send(); } catch (e) {}"
              " return [a.href, r.responseText || ''];})));</script>")
    followed = 0
    for i, (html_text, files) in enumerate(pages):
        page = os.path.join(scratch, "page-%d.html" % i)
        with open(page, "w", encoding="utf-8") as f:
            f.write(html_text + script)
        dom = subprocess.run(base + ["file://" + page], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=120).stdout
        found = re.search(rb'data-links="([^"]*)"', dom)
        assert found, "Chromium did not run the page of mail %d" % i
        for href, shown in json.loads(html.unescape(found.group(1).decode())):
            if not href.startswith("file:"):
                continue
            target = file_of(href)
            assert target in files, "Chromium resolved a link to %s, no saved file" % href
            if target.endswith(".txt"):  # a PDF or an image reads as other bytes
                assert shown == files[target], "Chromium opened nothing at %s" % href
            followed += 1
    assert followed > 0, "no link was followed"
    print("Chromium followed %d links" % followed)


def main():
    stowbright = sys.argv[1]
    with_chromium = "--chromium" in sys.argv
    scratch = tempfile.mkdtemp(prefix="stowbright-readers-")
    try:
        maildir = os.path.join(scratch, "Maildir")
        saved = os.path.join(scratch, "My Attachments #1")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, sub))
        os.makedirs(saved)
        env = dict(os.environ, HOME=os.path.join(scratch, "home"),
                   XDG_CONFIG_HOME=os.path.join(scratch, "config"),
                   XDG_DATA_HOME=os.path.join(scratch, "data"))
        env.pop("MAILDIR", None)
        for i, (name, data) in enumerate(corpus()):
            with open(os.path.join(maildir, "cur", "17000000%02d.%s.corpus:2,S" % (i, name)), "wb") as f:
                f.write(data)
        sb = [stowbright, "--store", maildir, "--config", os.path.join(scratch, "config", "sb"),
              "--yes"]
        before = {mid: (data, parse(data)) for mid, (_, data) in messages(maildir).items()}
        run(sb + ["settings", "attachments", "--set", "AttachmentFolderPath=" + saved], env)
        # Indexers learn of each rewrite through the user's command.
        log = os.path.join(scratch, "rewritten.log")
        run(sb + ["--after-rewrite", 'printf "%s|%s\\n" "$1" "$STOWBRIGHT_MESSAGE_ID" >> "$LOG"',
                  "detach-all", "Inbox"], dict(env, LOG=log))

        after = messages(maildir)
        assert set(after) == set(before), "messages lost or added"
        pages = []
        for mid, (path, data) in after.items():
            orig_data, orig = before[mid]
            msg = parse(data)
            assert defects(msg) == defects(orig), "%s: new defects %s" % (path, defects(msg))
            if orig.get_content_type() == "multipart/signed":
                assert data == orig_data, "%s: a signed mail was changed" % path
                continue
            for part in msg.walk():
                assert part.get_filename() != TOKEN, "%s: the token is a MIME part" % path
                if part.get_content_type() == "multipart/alternative":
                    assert len(part.get_payload()) >= 2, "%s: alternative lost a part" % path
            html_text = body_text(msg, "html")
            if html_text is None or "tableKZOSTART" not in html_text:
                continue
            links = Links()
            links.feed(html_text)
            files = {}
            for href in links.hrefs:
                target = file_of(href)
                assert target and os.path.isfile(target), "%s: link %s names no file" % (path, href)
                files[target] = open(target, "rb").read().decode("utf-8", "replace")
            # A mail with a text for text readers keeps it, with the same list.
            orig_plain = body_text(orig, "plain")
            if orig_plain is not None:
                plain = body_text(msg, "plain")
                assert plain is not None and orig_plain in plain, \
                    "%s: the plain text lost its words" % path
                listed = re.findall(r"<(file:[^>]+)>", plain)
                assert sorted(listed) == sorted(h for h in links.hrefs if h.startswith("file:")), \
                    "%s: the plain-text list %s differs from the links %s" % (path, listed,
                                                                             links.hrefs)
            if "<meta" in html_text:
                charset = msg.get_body(preferencelist=("html",)).get_content_charset()
                declared = re.search(r"charset=([-\w]+)", html_text).group(1)
                assert declared.lower() == charset.lower(), \
                    "%s: the HTML says %s but is %s" % (path, declared, charset)
            pages.append((html_text, files))
        assert len(pages) >= 6, "only %d mails were detached" % len(pages)
        told = dict(reversed(line.split("|")) for line in open(log).read().splitlines())
        changed = {mid: path for mid, (path, data) in after.items() if data != before[mid][0]}
        assert told == {mid.strip("<>"): path for mid, path in changed.items()}, \
            "the command was told %s, not %s" % (told, changed)

        if with_chromium:
            chromium_follows(pages, scratch)
            return

        # Removing the links takes the list out of both bodies; the files and the
        # records stay for the re-attach.
        run(sb + ["remove-links", "Inbox", "all"], env)
        for mid, (path, data) in messages(maildir).items():
            msg = parse(data)
            for subtype in ("html", "plain"):
                text = body_text(msg, subtype) or ""
                assert "tableKZOSTART" not in text and "Available Attachments" not in text, \
                    "%s: remove-links left a list in the %s body" % (path, subtype)
        run(sb + ["reattach-all", "Inbox"], env)
        back = messages(maildir)
        for mid, (path, data) in back.items():
            orig_data, orig = before[mid]
            msg = parse(data)
            assert leaves(msg) == leaves(orig), \
                "%s: not back as it was:\n%s\n%s" % (path, leaves(msg), leaves(orig))
            assert msg.get_content_type() == orig.get_content_type(), \
                "%s: %s came back as %s" % (path, orig.get_content_type(), msg.get_content_type())
        print("%d mails detached, read and re-attached whole" % len(back))
    finally:
        if not os.environ.get("KEEP"): shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
