#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (tests/<part>/fuzz/seeds/<target>/):
a few small inputs of each target's form, made here or by our own mkrom, so
a short fuzz run starts past the headers; the inputs of faults the fuzzers
found, named found_*, are left as they are. Deterministic: running it again
gives the same files.

    tools/make-fuzz-seeds.py BUILD_DIR     (BUILD_DIR holds mkrom)
"""
import base64, os, random, struct, subprocess, sys, tempfile, zlib

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
mkrom = os.path.join(sys.argv[1], "mkrom")
rng = random.Random(2024)
BANNER = "halvoran cartridge // https://halvoran.net"

def target_dir(part, target):
    # Inputs of faults the fuzzers found are kept as found ("found_*").
    d = os.path.join(root, "tests", part, "fuzz", "seeds", target)
    os.makedirs(d, exist_ok=True)
    for name in os.listdir(d):
        if not name.startswith("found_"):
            os.remove(os.path.join(d, name))
    return d

def seeds(part, target, items):
    d = target_dir(part, target)
    for name, data in items:
        with open(os.path.join(d, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("latin-1"))

# --- cartridges: a small tree, as text (both versions) and as a ROM --------
tree = {
    "main.lua": b"function _draw()\n  cls(1)\n  print(\"hello\", 10, 10, 7)\nend\n",
    "gfx/": None,
    "gfx/0.gfx": bytes(range(64)) * 2,
    "lib/": None,
    "lib/util.lua": b"local m = {}\nfunction m.add(a, b) return a + b end\nreturn m\n",
    "notes.txt": b"a note\n:: not a header\nlast line",
    ".info.vyn": b"--[[vyn,title=\"seed\"]]\n",
}

def is_text(name, data):
    ok_ext = name.endswith(".lua") or name.endswith(".txt") or ".info.vyn" in name
    return ok_ext and all(0 < c < 128 and c != 13 for c in data) and b"\n:: " not in data \
        and not data.startswith(b":: ") and data[:4] not in (b"hex$", b"b64$")

def hvx_text(files, hexed=False):
    lines = [BANNER, "version 2", ""]
    order = [n for n in files if files[n] is None]
    order += [n for n in files if files[n] is not None and is_text(n, files[n]) and n != ".info.vyn"]
    order += [n for n in files if n not in order]
    for n in order:
        d = files[n]
        lines.append(":: " + n)
        if d is None:
            continue
        if is_text(n, d) and n != ".info.vyn" or (n == ".info.vyn" and is_text(n, d)):
            lines.append(d.decode())
        elif hexed:
            lines.append("hex$" + d.hex())
        else:
            alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-"
            std = base64.b64encode(d).rstrip(b"=")
            ours = std.translate(bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/",
                                                 alphabet))
            lines.append("b64$" + ours.decode())
    lines.append(":: [eoc]")
    return "\n".join(lines) + "\n"

def hvx_v1(files):
    out = [BANNER, "version 1"]
    for n, d in files.items():
        if d is None:
            out.append("%s 1:0 []" % n.rstrip("/"))
        else:
            out.append("%s 0:%d [00%s]" % (n, len(d), d.hex()))
    return "\n".join(out) + "\n"

# The text that once loaded whole and would not save: one entry whose name
# holds an empty segment.
fuzz_found = bytes.fromhex(
    "8f8fffffffbf202865607465744023245400206100000a76657273696f6e20320e000000000000002f6e232032ebebeb"
    "ebebebebebebebebebebebebebebebebeb2f2effffffffffffffffff0000000dffffffffff28ffffffffffffffffffff"
    "ffffffffffffffffffff657273696f6e20342f236e2032080a3a3a20646174692e233a2f2f2e")
seeds("storage", "fuzz_hvx_text", [
    ("tree.hvx", hvx_text(tree)),
    ("tree_hex.hvx", hvx_text(tree, hexed=True)),
    ("tree_v1.hvx", hvx_v1(tree)),
    ("crlf.hvx", hvx_text({"a/": None, "a/b.txt": b"x\ny"}).replace("\n", "\r\n")),
    ("empty_segment.hvx", fuzz_found),
    # Damaged bodies: a stray hex digit, an odd count, a base64 stranger;
    # and, alone, an encoded line too long to read.
    ("damaged_bodies.hvx", hvx_text({"a.bin": b"\0\1", "b.bin": b"ABC"})
        .replace("b64$AAE", "hex$00z1\n0").replace("b64$QUJD", "b64$QU!JD")),
    ("long_line.hvx", hvx_text({"a.bin": b"\0\1", "c.bin": b"\7" * 900})),
])

def make_rom(files):
    # mkrom packs a system tree, which holds a boot.lua; its first image
    # is a ROM like any cartridge's.
    files = dict(files, **{"boot.lua": b"printh(\"boot\")\n"})
    with tempfile.TemporaryDirectory() as t:
        src = os.path.join(t, "src")
        os.makedirs(src)
        for n, d in files.items():
            p = os.path.join(src, n)
            if d is None:
                os.makedirs(p, exist_ok=True)
            else:
                os.makedirs(os.path.dirname(p), exist_ok=True)
                with open(p, "wb") as f:
                    f.write(d)
        out = os.path.join(t, "cart.rom")
        subprocess.run([mkrom, "-o", out, src], check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as f:
            dat = f.read()
        return dat[dat.index(b"hvx"):]  # the image of block 1, from its magic on

def entry_stream(files):
    s = b""
    for n, d in files.items():
        s += n.encode() + b"\0"
        if d is not None:
            s += (bytes([len(d)]) if len(d) < 255 else b"\xff" + struct.pack("<I", len(d))) + d
    return s

def pxa_encode(text, declared=None):
    """A legacy pxa block of text: move-to-front literals, and copies of 3
    bytes or more found by a plain search."""
    bits = []
    def field(v, n):
        bits.extend((v >> i) & 1 for i in range(n))
    mtf = list(range(256))
    i = 0
    while i < len(text):
        best, off = 0, 0
        for o in range(1, min(i, 32768) + 1):
            n = 0
            while i + n < len(text) and text[i + n] == text[i + n - o]:
                n += 1
            if n > best:
                best, off = n, o
        if best >= 3:
            v = off - 1
            bits.append(0)
            if v < 32:
                field(3, 2); field(v, 5)
            elif v < 1024:
                field(1, 2); field(v, 10)
            else:
                bits.append(0); field(v, 15)
            rest = best - 3
            while rest >= 7:
                field(7, 3); rest -= 7
            field(rest, 3)
            i += best
            continue
        k = mtf.index(text[i])
        w = 4
        while k >= (1 << (w + 1)) - 16:
            w += 1
        bits.extend([1] + [1] * (w - 4) + [0])
        field(k - ((1 << w) - 16), w)
        mtf.insert(0, mtf.pop(k))
        i += 1
    body = bytes(sum(b << j for j, b in enumerate(bits[p:p + 8])) for p in range(0, len(bits), 8))
    d = len(text) if declared is None else declared
    return b"\0pxa" + struct.pack(">HH", d, len(body) + 8) + body

# The text of the damaged pxa cases (as the storage tests make them).
pxa_text, i = b"", 0
while len(pxa_text) < 480:
    pxa_text += b"function f%d(x) return x * %d + %d end\n" % (i, i * 7 % 13, i)
    i += 1
pxa_text = pxa_text[:480]
pxa_whole = pxa_encode(pxa_text)
pxa_damaged = bytearray(pxa_whole)
pxa_damaged[len(pxa_damaged) // 2] = pxa_damaged[len(pxa_damaged) // 2 + 1] = 0xff
pxa_damaged = bytes(pxa_damaged)
pxa_short = pxa_encode(b"abcdefghijklmnopqrstuvw", 900)  # states 900 bytes, holds 23

rom = make_rom(tree)
small_rom = make_rom({"main.lua": b"print(1)\n"})
seeds("storage", "fuzz_rom", [
    ("image.rom", b"\x01" + rom),
    ("small_image.rom", b"\x01" + small_rom),
    ("stream", b"\x02" + entry_stream(tree)),
    ("stream_long_entry", b"\x02" + entry_stream({"big.bin": bytes(range(256)) * 2, "d/": None})),
    ("pxa", b"\x00" + pxa_whole),
])
# A cartridge file as a mount reads it; the damaged ones must not load whole.
seeds("storage", "fuzz_rom_mount", [
    ("tree.hvx.rom", rom),
    ("pxa.hvx.rom", pxa_whole),
    ("pxa_damaged.hvx.rom", pxa_damaged),
    ("pxa_short.hvx.rom", pxa_short),
    ("text.hvx.rom", b"-- caf\xc3\xa9\nprint(1)\n"),
    ("text_nul.hvx.rom", b"print(1)\0print(2)"),
    # An image whose block the file cuts after a whole entry.
    ("cut_block.hvx.rom", b"hvx\x02" + struct.pack("<I", 18) + b"\x80a.txt\x00\x01a"),
])

# --- vyn: documents, a base64 piece ----------------------------------------
docs = [
    '{1,2,3,x=5,["a b"]=true,[10]="z"}',
    '--[[vyn,title="t"]]\n{name="tile1",solid=false,colour=3,{1.5,-2,1e+999}}',
    '{a={b={c={}}},s="q\\"\\n\\000",u=userdata("u8",2,2,"010203ff"),f=userdata("f64",3,"1.5,-2,1e+300")}',
    'unvyn("b64:bHo0AAIAAAABAAAAEDE=")',
]
docs.append('{0.1,-2.5e-310,1.2345678901234567,123456789012345678.0,5.0,-0.0,x=3.141592653589793}')
seeds("storage", "fuzz_vyn", [("doc%d" % i, "\x00" + d) for i, d in enumerate(docs)] +
      [("doc_bounded", "\x02" + docs[2]), ("b64", "\x03b64:bHo0AAIAAAABAAAAEDE=")])

# --- pictures ---------------------------------------------------------------
def png(w, h, rgba):
    raw = b"".join(b"\0" + b"".join(bytes(rgba(x, y)) for x in range(w)) for y in range(h))
    def chunk(t, d):
        return struct.pack(">I", len(d)) + t + d + struct.pack(">I", zlib.crc32(t + d) & 0xffffffff)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))

grad = lambda x, y: (x * 16 % 256, y * 16 % 256, (x + y) * 8 % 256, 255 if (x + y) % 3 else 128)
seeds("storage", "fuzz_png", [
    ("gradient.png", b"\x00" + png(16, 16, grad)),
    ("one.png", b"\x00" + png(1, 1, lambda x, y: (1, 2, 3, 4))),
    ("made", b"\x01" + struct.pack(">IIBBBBB", 8, 8, 8, 3, 0, 0, 0) + bytes((i * 7) % 16 for i in range(80))),
])

def qoi(w, h, rgba):
    out = b"qoif" + struct.pack(">IIBB", w, h, 4, 0)
    for y in range(h):
        for x in range(w):
            out += b"\xff" + bytes(rgba(x, y))
    return out + b"\0" * 7 + b"\1"

seeds("storage", "fuzz_qoi", [("gradient.qoi", qoi(8, 8, grad)), ("one.qoi", qoi(1, 1, lambda x, y: (9, 8, 7, 6)))])

# The PNG cartridge's inputs: kind of label (odd: QOI), the info's length,
# the info, the label.
info = b'--[[vyn,title="seed cart",version="1.2",author="ann"]]\n{}'
seeds("gfx", "fuzz_png_cart", [
    ("png_label", b"\x00" + struct.pack("<H", len(info)) + info + png(16, 16, grad)),
    ("qoi_label", b"\x01" + struct.pack("<H", len(info)) + info + qoi(8, 8, grad)),
    ("escaped_title", b"\x00" + struct.pack("<H", 30) + b'x,title="a\\"b",author=""' + b"\0" * 4),
])

# --- texts and small byte forms ---------------------------------------------
seeds("storage", "fuzz_path", [("rel", "/ram/cart.hvx\0gfx/../main.lua"), ("abs", "/home/user/./x//y.txt"),
                               ("location", "/\0bbs://cart.hvx.png/main.lua")])
seeds("storage", "fuzz_base64", [("text", "\x05" + base64.b64encode(bytes(range(48))).decode().replace("+", "_").replace("/", "-"))])
seeds("storage", "fuzz_host_text", [("host", "\x00caf\xc3\xa9\r\nline two\r\n"), ("eight_bit", "\x01caf\xe9\r\nx\n")])
old, new = b"line one\nline two\nline three\n", b"line one\nline 2\nline three\nline four\n"
seeds("storage", "fuzz_apply_diff", [("generate", b"\x01" + struct.pack("<H", len(old)) + old + new)])
h = "0123456789abcdef0123456789abcdef"
seeds("storage", "fuzz_anywhen", [("line", "\x00: " + h + " /main.lua"), ("moment", "\x00@ 2024-06-30_10:00:00 saved"),
                                  ("location", "\x01/home/user/cart.hvx/main.lua"), ("delta", "\x03" + "line one\n+two\n")])

def score_record(ts, key, score, content):
    body = "%s;%s|%s\n" % (key, score, content)
    return "%08x %016x " % (26 + len(body), ts) + body

def fdp(*texts):
    """Strings as FuzzedDataProvider's ConsumeRandomLengthString reads them."""
    return b"".join(t.replace(b"\\", b"\\\\") + b"\\ " for t in texts)

seeds("net", "fuzz_site_replies", [
    ("udat", b"\x00" + b"4242|2026-01-01 00:00:00|ann|aWNvbg==|\n5151|2026-02-02 10:00:00|bob||\r\nshort\n"),
    ("endpoint", b"\x01" + b"https_endpoint:https://rt.test/vynnet/4242/\r\n"),
    ("key", b"\x02" + b"scoresub:channels/4242/c0ffee\nvynnet:token-value-1\n"),
])

PLACEHOLDER = b"Authorization: $vynnet_access_token"

def fetch_headers(odd, endpoint, cut, more, token, entries=()):
    """An endpoint, the URL made of its first `cut` bytes and `more`, a token
    and header table entries (None: a number, PLACEHOLDER, or a text). The
    integers are read from the input's end, the first read the last byte."""
    texts, ints = [endpoint, more, token], [cut] if endpoint else []  # no byte for the range 0..0
    for e in entries:
        if e is None:
            ints += [0, 7, 0]  # the kind, then two bytes of the number
        elif e is PLACEHOLDER:
            ints.append(1)
        else:
            ints.append(2)
            texts.append(e)
    return bytes([odd]) + fdp(*texts) + bytes(reversed(ints))

rt = b"https://rt.test/vynnet/4242/"
seeds("net", "fuzz_fetch_headers", [
    ("under", fetch_headers(0, rt, len(rt), b"room?x=1", b"vt-1")),
    ("longer_host", fetch_headers(0, b"https://a.com", 13, b".evil.com/x", b"vt-1")),
    ("user_part", fetch_headers(0, b"https://a.com", 13, b"@evil.com/x", b"vt-1")),
    ("dots", fetch_headers(0, rt, len(rt), b"%2e%2e/.%2E/x", b"vt-1")),
    ("nul", fetch_headers(0, b"https://a.com", 13, b"\0.evil.com/", b"vt-1")),
    ("no_host", fetch_headers(0, b"https://", 8, b"evil.test/x", b"vt-1")),
    ("headers_under", fetch_headers(1, rt, len(rt), b"room", b"vt-123",
                                    [b"Accept: */*", PLACEHOLDER, None, b"X-A: 1\r\nX-B: 2"])),
    ("headers_other_host", fetch_headers(1, rt, 8, b"evil.test/vynnet/4242/", b"vt-123", [PLACEHOLDER, b"X-A: 1"])),
    ("headers_token_break", fetch_headers(1, rt, len(rt), b"x", b"vt\r\nX-Evil: 1", [PLACEHOLDER, b"X-A: 1\n"])),
    ("headers_no_endpoint", fetch_headers(1, b"", 0, b"https://a.com/x", b"vt-123", [PLACEHOLDER])),
])
seeds("runtime", "fuzz_calls", [
    ("split", b"\x00" + fdp(b"a,b,,c;d 1,2", b",;") + b"\x00\x00"),
    ("split_length", b"\x00" + fdp(b"abcdefghij", b"") + b"\x03\x01"),
    ("tokens", b"\x01" + b"\x00" * 8 + b"local s = [[long\n]] -- c\nx = 0x1f + 2.5e3 .. 'q\\'' --[==[ open"),
    ("cache", b"\x02" + fdp(b"carts", b"name_%d.hvx.png", b"abc-1") + b"\x05\x01\x00"),
    ("cache_climb", b"\x02" + fdp(b"../x", b"a/../../b", b"../../etc") + b"\x00\x01"),
    ("fetch_vyn", b"\x03" + b'--[[vyn,title="t"]]\n{1,2,x="y"}' + b"\x00\x00"),
    ("fetch_png", b"\x03" + png(4, 4, grad) + b"\x00\x01"),
    ("fetch_text", b"\x03" + b"line one\r\nline two\r\n" + b"\x00\x04"),
    ("fetch_remote", b"\x04" + fdp(b"vynnet://room/x", b"POST", b"{}", b"Accept: */*",
                                    b"Authorization: $vynnet_access_token") + b"\x01\x00\x01"),
])

seeds("net", "fuzz_score_records", [("reply", score_record(5, "ann", "120", "0a1234") + score_record(9, "bob", "99.5", "0a"))])

# --- the language and scripts -----------------------------------------------
def source(path):
    with open(os.path.join(root, path), "rb") as f:
        return f.read()[:4000]

seeds("lang", "fuzz_parser", [
    ("boot", b"\x01" + source("sysrom/boot.lua")),
    ("forms", b"\x01local t = {1, 2, x = 3}\nfor i, v in ipairs(t) do t[i] = v * 2 end\n"
              b"local s = 'a' .. [[long]] -- c\nlocal f = function(...) return select('#', ...) end\nreturn f(t, s)\n"),
    ("fragments", b"\x00" + bytes(range(1, 120))),
])
seeds("gfx", "fuzz_print", [("hello", struct.pack("<ii", 4, 8) + bytes(16) + b"hello\n\x0c7world\t!"),
                            ("controls", struct.pack("<ii", -3, 120) + bytes(range(16)) + bytes(range(1, 40)))])
for part, target in [("runtime", "fuzz_scripts"), ("gfx", "fuzz_batch"), ("audio", "fuzz_synth"),
                     ("audio", "fuzz_sequencer")]:
    seeds(part, target, [("bytes%d" % i, bytes(rng.randrange(256) for _ in range(n)))
                         for i, n in enumerate((64, 512, 2048))])
