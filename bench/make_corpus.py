#!/usr/bin/env python3
"""Builds a Maildir of N messages with the shapes of real mail, the same for the same seed.

Shapes (by the seed's draw per message):
  about 20%  no attachment (plain text or HTML),
  about 15%  HTML with inline images referenced by cid: (multipart/related),
  the rest   multipart/mixed with one to three attachments.
With --dup-rate R, each attachment is, with probability R, one sent before (the same
bytes under the same name, as a file forwarded or sent again), so that a corpus shows
the repetition of real mail; 0 (the default) keeps the corpus of a seed as it was.
Attachment sizes are log-normal (median --median-kb, capped at --cap-mb); names carry
spaces, accents, non-Latin letters and characters that are reserved on some file
systems. Content is incompressible (slices of a seeded random pool), as PDFs, images
and archives are.

  make_corpus.py --out /tmp/corpus/Maildir --count 2000 --seed 1

Only the Python 3 standard library is used. Messages go into cur/ with the flag S,
and their Maildir names and dates depend only on the seed and the index.
"""

import argparse
import base64
import math
import os
import random
import sys
import urllib.parse

BASE_TIME = 1_600_000_000  # 2020-09-13; one message an hour from there

STEMS = [
    "Quarterly report 2023",
    "Résumé – Müller",
    "invoice #42 (final) [v2]",
    "naïve draft; notes & ideas",
    "Präsentation Q3 – Übersicht",
    "日本語 資料",
    "contract: signed?",
    "photo*of*the*team",
    "budget <draft> \"approved\"",
    "Ελληνικά έγγραφα",
    "very long file name that goes on and on describing what is inside it in detail",
    "scan_0001",
    "meeting minutes 2024-01-15",
    "Café menu",
    "a|b\\c",
    "100% done",
    "Orçamento de projeto",
    "Отчёт",
]
EXTENSIONS = ["pdf", "docx", "xlsx", "zip", "pptx", "txt", "csv", "odt", "7z", "bin"]
MIME_BY_EXT = {
    "pdf": "application/pdf",
    "docx": "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
    "xlsx": "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
    "zip": "application/zip",
    "pptx": "application/vnd.openxmlformats-officedocument.presentationml.presentation",
    "txt": "application/octet-stream",
    "csv": "application/octet-stream",
    "odt": "application/vnd.oasis.opendocument.text",
    "7z": "application/x-7z-compressed",
    "bin": "application/octet-stream",
    "png": "image/png",
    "jpg": "image/jpeg",
}
WORDS = ("the of and to in is that for it as was with be by on not he this are or his from "
         "at which but have an they you were her she there been one all we their has would "
         "when if so no will more about out up what said time can only its into some could "
         "them other than then these two may first new like our over also any after most "
         "report meeting project budget attached please find review thanks regards").split()

POOL_SIZE = 8 << 20


class Corpus:
    def __init__(self, seed, median_kb, sigma, cap_mb):
        self.rng = random.Random(seed)
        self.pool = random.Random(seed ^ 0x5EED).randbytes(POOL_SIZE)
        self.mu = math.log(median_kb * 1024)
        self.sigma = sigma
        self.cap = int(cap_mb * 1024 * 1024)

    def size(self):
        return max(1, min(self.cap, int(self.rng.lognormvariate(self.mu, self.sigma))))

    def content(self, n, start=None):
        # Pool slices wrap around, so any size up to the cap can be served.
        if start is None:
            start = self.rng.randrange(POOL_SIZE)
        out = bytearray()
        while len(out) < n:
            take = min(n - len(out), POOL_SIZE - start)
            out += self.pool[start:start + take]
            start = 0
        return bytes(out)

    def words(self, n):
        return " ".join(self.rng.choice(WORDS) for _ in range(n))

    def paragraph_text(self):
        lines = []
        for _ in range(self.rng.randint(3, 12)):
            lines.append(self.words(self.rng.randint(6, 12)))
        return "\n".join(lines)

    def file_name(self, ext):
        return "%s.%s" % (self.rng.choice(STEMS), ext)


def quoted(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def filename_params(name):
    """Content-Type name= and Content-Disposition filename parameters for name."""
    try:
        name.encode("ascii")
        return "name=" + quoted(name), "filename=" + quoted(name)
    except UnicodeEncodeError:
        encoded = urllib.parse.quote(name.encode("utf-8"), safe="")
        # The RFC 2047 form in name= is what many mail clients still write.
        word = "=?UTF-8?B?" + base64.b64encode(name.encode("utf-8")).decode() + "?="
        return "name=" + quoted(word), "filename*=UTF-8''" + encoded


def b64_body(data):
    return base64.encodebytes(data).decode("ascii")


def headers(c, index, subject, content_type):
    when = BASE_TIME + index * 3600
    date = email_date(when)
    return (
        "Return-Path: <sender%d@example.org>\n"
        "Received: from mx.example.org by mail.example.com; %s\n"
        "From: Sender %d <sender%d@example.org>\n"
        "To: Reader <reader@example.com>\n"
        "Subject: %s\n"
        "Date: %s\n"
        "Message-ID: <bench.%d.%d@example.org>\n"
        "MIME-Version: 1.0\n"
        "Content-Type: %s\n"
        "\n" % (index % 97, date, index % 97, index % 97, subject, date, c.seed_tag, index,
                content_type))


def email_date(t):
    import time
    return time.strftime("%a, %d %b %Y %H:%M:%S +0000", time.gmtime(t))


def html_of(text):
    paras = "".join("<p>%s</p>\n" % line for line in text.split("\n"))
    return "<html><head><meta charset=\"utf-8\"></head><body>\n%s</body></html>\n" % paras


def message(c, index):
    draw = c.rng.random()
    boundary = "=_bench_%d_%d" % (c.seed_tag, index)
    text = c.paragraph_text()
    subject = "Bench %d: %s" % (index, c.words(4))
    stats = {"attachments": 0, "attachment_bytes": 0, "inline": 0, "duplicates": 0}
    if draw < 0.20:
        if c.rng.random() < 0.5:
            return headers(c, index, subject, "text/plain; charset=utf-8") + text + "\n", stats
        return headers(c, index, subject, "text/html; charset=utf-8") + html_of(text), stats
    if draw < 0.35:
        images = c.rng.randint(1, 2)
        cids = ["image%03d.png@%d.bench" % (k + 1, index) for k in range(images)]
        html = html_of(text).replace(
            "</body>", "".join('<img src="cid:%s">\n' % cid for cid in cids) + "</body>")
        body = ("--%s\nContent-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
                "%s" % (boundary, html))
        for k, cid in enumerate(cids):
            n = min(c.size() // 3, 512 * 1024) + 1
            name = "image%03d.%s" % (k + 1, c.rng.choice(["png", "jpg"]))
            ext = name.rsplit(".", 1)[1]
            body += ("\n--%s\nContent-Type: %s; name=\"%s\"\nContent-Transfer-Encoding: base64\n"
                     "Content-ID: <%s>\nContent-Disposition: inline; filename=\"%s\"\n\n%s" %
                     (boundary, MIME_BY_EXT[ext], name, cid, name, b64_body(c.content(n))))
            stats["inline"] += 1
            stats["attachments"] += 1
            stats["attachment_bytes"] += n
        body += "\n--%s--\n" % boundary
        ct = 'multipart/related; type="text/html"; boundary="%s"' % boundary
        return headers(c, index, subject, ct) + body, stats
    count = c.rng.choice([1, 1, 2, 2, 3])
    html_body = c.rng.random() < 0.6
    if html_body:
        alt = "=_alt_%d_%d" % (c.seed_tag, index)
        first = ("Content-Type: multipart/alternative; boundary=\"%s\"\n\n--%s\n"
                 "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n%s\n"
                 "--%s\nContent-Type: text/html; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
                 "%s--%s--\n" % (alt, alt, text, alt, html_of(text), alt))
    else:
        first = ("Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n\n"
                 "%s\n" % text)
    body = "This is a multi-part message in MIME format.\n--%s\n%s" % (boundary, first)
    for _ in range(count):
        if c.dup_rate > 0 and c.sent and c.rng.random() < c.dup_rate:
            n, ext, name, start = c.rng.choice(c.sent)
            stats["duplicates"] += 1
        else:
            n = c.size()
            ext = c.rng.choice(EXTENSIONS)
            name = c.file_name(ext)
            start = c.rng.randrange(POOL_SIZE)
            if c.dup_rate > 0:
                c.sent.append((n, ext, name, start))
        ctp, cdp = filename_params(name)
        body += ("\n--%s\nContent-Type: %s; %s\nContent-Transfer-Encoding: base64\n"
                 "Content-Disposition: attachment; %s\n\n%s" %
                 (boundary, MIME_BY_EXT[ext], ctp, cdp, b64_body(c.content(n, start))))
        stats["attachments"] += 1
        stats["attachment_bytes"] += n
    body += "\n--%s--\n" % boundary
    ct = 'multipart/mixed; boundary="%s"' % boundary
    return headers(c, index, subject, ct) + body, stats


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--out", required=True, help="Maildir to create (must not exist)")
    p.add_argument("--count", type=int, required=True)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--median-kb", type=float, default=150.0)
    p.add_argument("--sigma", type=float, default=1.1, help="log-normal sigma of sizes")
    p.add_argument("--cap-mb", type=float, default=4.0)
    p.add_argument("--dup-rate", type=float, default=0.0,
                   help="share of attachments that repeat an earlier one (0 to 1)")
    p.add_argument("--quiet", action="store_true")
    a = p.parse_args()
    if os.path.exists(a.out):
        sys.exit("make_corpus: %s exists; give a fresh path" % a.out)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(a.out, sub))
    c = Corpus(a.seed, a.median_kb, a.sigma, a.cap_mb)
    c.seed_tag = a.seed
    c.dup_rate = a.dup_rate
    c.sent = []
    totals = {"messages": 0, "bytes": 0, "attachments": 0, "attachment_bytes": 0, "inline": 0,
              "without": 0, "duplicates": 0}
    for i in range(a.count):
        text, stats = message(c, i)
        data = text.encode("utf-8")
        unique = "%d.M%06dP%d.bench%d" % (BASE_TIME + i * 3600, i % 1000000, 4242, a.seed)
        name = "%s,S=%d:2,S" % (unique, len(data))
        with open(os.path.join(a.out, "cur", name), "wb") as f:
            f.write(data)
        totals["messages"] += 1
        totals["bytes"] += len(data)
        for k in ("attachments", "attachment_bytes", "inline", "duplicates"):
            totals[k] += stats[k]
        if stats["attachments"] == 0:
            totals["without"] += 1
    if not a.quiet:
        print("messages=%d bytes=%d attachments=%d attachment_bytes=%d inline=%d without=%d "
              "duplicates=%d" % (totals["messages"], totals["bytes"], totals["attachments"],
                                 totals["attachment_bytes"], totals["inline"], totals["without"],
                                 totals["duplicates"]))


if __name__ == "__main__":
    main()
