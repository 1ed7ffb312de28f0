#!/usr/bin/python3
"""Draws Corvanel's window bitmaps, button skins, busy animations and icons.

    make_artwork.py OUTDIR

Writes <id>.bmp, <id>.gif and <id>.ico into OUTDIR. The output is the same
byte for byte on every run: nothing random, no timestamps. Needs Pillow,
DejaVu Sans and WenQuanYi Micro Hei (for the Chinese words).
"""
import functools
import io
import math
import os
import struct
import sys

from PIL import Image, ImageDraw, ImageFont

SS = 4  # shapes are drawn this many times larger, then box-filtered down

ACCENT = (22, 96, 118)         # the one accent: a deep blue-teal
ACCENT_DARK = (14, 68, 86)
ACCENT_TINT = (216, 232, 237)
INK = (38, 44, 52)
INK_SOFT = (98, 106, 116)
RULE = (172, 180, 188)
BAND = (250, 251, 252)         # top band of the main window
PAGE = (240, 240, 240)         # COLOR_BTNFACE, so the animations blend into the pages
WHITE = (255, 255, 255)
TRACK = (214, 219, 224)

FONT_DIR = '/usr/share/fonts/truetype/'


@functools.lru_cache(maxsize=None)
def font(kind, size):
    path = {'en': 'dejavu/DejaVuSans.ttf', 'en-bold': 'dejavu/DejaVuSans-Bold.ttf',
            'zh': 'wqy/wqy-microhei.ttc'}[kind]
    # the basic layout engine keeps glyph placement independent of libraqm
    return ImageFont.truetype(FONT_DIR + path, size, layout_engine=ImageFont.Layout.BASIC)


class Canvas:
    """Shapes go on a supersampled layer; text is queued and drawn at the final
    size after the layer is filtered down, so glyphs keep their own hinting."""

    def __init__(self, w, h, bg):
        self.w, self.h = w, h
        self.big = Image.new('RGBA' if len(bg) == 4 else 'RGB', (w * SS, h * SS), bg)
        self.d = ImageDraw.Draw(self.big)
        self.texts = []

    def _box(self, x0, y0, x1, y1):
        return [round(x0 * SS), round(y0 * SS), round(x1 * SS) - 1, round(y1 * SS) - 1]

    def rect(self, x0, y0, x1, y1, fill=None, outline=None, width=0, radius=0):
        self.d.rounded_rectangle(self._box(x0, y0, x1, y1), radius=radius * SS, fill=fill,
                                 outline=outline, width=round(width * SS))

    def circle(self, cx, cy, r, fill=None, outline=None, width=0, ry=None):
        ry = r if ry is None else ry
        self.d.ellipse(self._box(cx - r, cy - ry, cx + r, cy + ry), fill=fill,
                       outline=outline, width=round(width * SS))

    def line(self, pts, fill, width, caps=True):
        self.d.line([round(v * SS) for p in pts for v in p], fill=fill,
                    width=round(width * SS), joint='curve')
        if caps:
            for x, y in (pts[0], pts[-1]):
                self.circle(x, y, width / 2, fill=fill)

    def arc(self, cx, cy, r, start, end, fill, width):
        o = r + width / 2  # Pillow strokes arcs inwards from the box
        self.d.arc(self._box(cx - o, cy - o, cx + o, cy + o), start, end, fill=fill,
                   width=round(width * SS))

    def pie(self, cx, cy, r, start, end, fill):
        self.d.pieslice(self._box(cx - r, cy - r, cx + r, cy + r), start, end, fill=fill)

    def polygon(self, pts, fill=None, outline=None, width=0):
        self.d.polygon([(x * SS, y * SS) for x, y in pts], fill=fill)
        if outline:
            self.line(pts + [pts[0]], outline, width, caps=False)

    def text(self, x, y, s, fnt, fill, anchor='ls'):
        self.texts.append((round(x), round(y), s, fnt, fill, anchor))
        b = fnt.getbbox(s, anchor=anchor)
        return (round(x) + b[0], round(y) + b[1], round(x) + b[2], round(y) + b[3])

    def finish(self):
        img = self.big.resize((self.w, self.h), Image.BOX)
        d = ImageDraw.Draw(img)
        for x, y, s, fnt, fill, anchor in self.texts:
            d.text((x, y), s, font=fnt, fill=fill, anchor=anchor)
        return img


def union(*boxes):
    return (min(b[0] for b in boxes), min(b[1] for b in boxes),
            max(b[2] for b in boxes), max(b[3] for b in boxes))


def runs(cv, x, base, parts):
    """One line of mixed Latin/CJK text on a common baseline; returns its box.
    parts: (text, font, colour) tuples, or a number for a gap in pixels."""
    boxes = []
    for p in parts:
        if isinstance(p, (int, float)):
            x += p
            continue
        boxes.append(cv.text(x, base, *p))
        x += p[1].getlength(p[0])
    return union(*boxes)


# ---- glyphs: centred on (cx, cy), about s pixels across --------------------

def stroke(s):
    return max(s * 0.1, 1.8)  # never thinner than ~2 px, or 150% stretching eats it


def g_lock(cv, cx, cy, s, col, hole, opened=False):
    t = stroke(s)
    r = s * 0.22
    lift = s * 0.14 if opened else 0
    top = cy - s * 0.22 - lift
    cv.arc(cx, top, r, 180, 360, col, t)
    cv.line([(cx + r, top), (cx + r, cy)], col, t, caps=False)
    cv.line([(cx - r, top), (cx - r, cy - (s * 0.12 if opened else 0))], col, t,
            caps=opened)
    cv.rect(cx - s * 0.36, cy - s * 0.04, cx + s * 0.36, cy + s * 0.46, fill=col,
            radius=s * 0.08)
    cv.circle(cx, cy + s * 0.16, s * 0.075, fill=hole)
    cv.rect(cx - s * 0.035, cy + s * 0.16, cx + s * 0.035, cy + s * 0.33, fill=hole)


def g_shred(cv, cx, cy, s, col, hole):
    t = stroke(s)
    cv.rect(cx - s * 0.28, cy - s * 0.46, cx + s * 0.28, cy - s * 0.02, outline=col, width=t)
    for k in (0.32, 0.2):
        cv.line([(cx - s * 0.14, cy - s * k), (cx + s * 0.14, cy - s * k)], col, t * 0.8)
    cv.rect(cx - s * 0.47, cy - s * 0.09, cx + s * 0.47, cy + s * 0.11, fill=col,
            radius=s * 0.05)
    for i in range(4):
        x = cx - s * 0.24 + i * s * 0.16
        cv.line([(x, cy + s * 0.2), (x, cy + s * (0.46 if i % 2 else 0.38))], col, t * 0.85)


def g_restore(cv, cx, cy, s, col, hole):
    t = stroke(s)
    r = s * 0.33
    cv.arc(cx, cy, r, 205, 500, col, t)
    a = math.radians(205)
    bx, by = cx + r * math.cos(a), cy + r * math.sin(a)
    dx, dy = math.sin(a), -math.cos(a)        # direction of travel, anticlockwise
    nx, ny = math.cos(a), math.sin(a)
    h = s * 0.17
    cv.polygon([(bx + dx * h * 1.3, by + dy * h * 1.3), (bx + nx * h, by + ny * h),
                (bx - nx * h, by - ny * h)], fill=col)
    cv.line([(cx, cy - r * 0.5), (cx, cy), (cx + r * 0.42, cy + r * 0.3)], col, t * 0.85)


def g_folder(cv, cx, cy, s, col, fill):
    t = max(s * 0.065, 1.5)
    x0, x1, y0, y1 = cx - s * 0.44, cx + s * 0.44, cy - s * 0.32, cy + s * 0.36
    cv.polygon([(x0, y0), (cx - s * 0.08, y0), (cx + s * 0.02, y0 + s * 0.1),
                (x1, y0 + s * 0.1), (x1, y1), (x0, y1)], fill=fill, outline=col, width=t)
    cv.line([(x0, y0 + s * 0.22), (x1, y0 + s * 0.22)], col, t, caps=False)


def g_doc(cv, cx, cy, s, col, fill):
    t = max(s * 0.05, 1.2)
    x0, x1, y0, y1, f = cx - s * 0.32, cx + s * 0.32, cy - s * 0.44, cy + s * 0.44, s * 0.2
    cv.polygon([(x0, y0), (x1 - f, y0), (x1, y0 + f), (x1, y1), (x0, y1)],
               fill=fill, outline=col, width=t)
    cv.polygon([(x1 - f, y0), (x1 - f, y0 + f), (x1, y0 + f)], fill=col)


def g_shield(cv, cx, cy, s, col, hole):
    w, top, mid, tip = s * 0.4, cy - s * 0.44, cy + s * 0.02, cy + s * 0.48
    side = [(cx + w, top + s * 0.06)] + [
        (cx + w * math.cos(k / 8 * math.pi / 2), mid + (tip - mid) * math.sin(k / 8 * math.pi / 2))
        for k in range(9)]
    pts = [(cx, top)] + side + [(2 * cx - x, y) for x, y in reversed(side)]
    cv.polygon(pts, fill=col)
    cv.circle(cx, cy - s * 0.06, s * 0.11, fill=hole)
    cv.polygon([(cx - s * 0.06, cy - s * 0.02), (cx + s * 0.06, cy - s * 0.02),
                (cx + s * 0.1, cy + s * 0.24), (cx - s * 0.1, cy + s * 0.24)], fill=hole)


def g_glass(cv, cx, cy, s, col, fill):
    r, t = s * 0.3, stroke(s) * 1.2
    cv.circle(cx, cy, r, fill=fill, outline=col, width=t)
    k = r + t / 2
    cv.line([(cx + k * 0.72, cy + k * 0.72), (cx + k * 1.55, cy + k * 1.55)], col, t * 1.4)


# ---- button skins -----------------------------------------------------------

def skins(w, h, style, under, glyph, en, zh):
    """Normal, hover and pressed pictures of one button. The pressed one is
    also the latched look of a page button, so it is filled with the accent."""
    out = []
    for state in ('normal', 'hover', 'pressed'):
        cv = Canvas(w, h, under)
        ink, hole = INK, WHITE
        if style == 'title':
            if state != 'normal':
                cv.rect(1, 1, w - 1, h - 1, fill=ACCENT if state == 'pressed' else (226, 231, 235),
                        radius=5)
            ink = WHITE if state == 'pressed' else INK_SOFT
            glyph(cv, w / 2, h / 2, ink)
        elif style == 'page':
            if state != 'normal':
                cv.rect(2, 2, w - 2, h - 2, radius=8, fill=ACCENT if state == 'pressed' else ACCENT_TINT)
            ink = WHITE if state == 'pressed' else ACCENT
            hole = ACCENT if state == 'pressed' else (ACCENT_TINT if state == 'hover' else under)
            glyph(cv, w / 2, 27, 32, ink, hole)
            txt = WHITE if state == 'pressed' else INK
            cv.text(w / 2, 60, en, font('en-bold', 11), txt, 'ms')
            cv.text(w / 2, 75, zh, font('zh', 12), txt, 'ms')
        else:  # action buttons on a page: outlined card, accent when pressed
            fill = {'normal': WHITE, 'hover': ACCENT_TINT, 'pressed': ACCENT}[state]
            edge = ACCENT_DARK if state == 'pressed' else (
                RULE if style == 'chooser' and state == 'normal' else ACCENT)
            cv.rect(1, 1, w - 1, h - 1, fill=fill, outline=edge, width=2, radius=6)
            ink = WHITE if state == 'pressed' else (INK if style == 'chooser' else ACCENT_DARK)
            gs, en_f, zh_f, gap = ((17, font('en-bold', 11), font('zh', 12), 6) if style == 'chooser'
                                   else (24, font('en-bold', 14), font('zh', 14), 9))
            tw = max(en_f.getlength(en), zh_f.getlength(zh))
            x0 = (w - gs - gap - tw) / 2
            assert x0 >= 5, (en, x0)
            glyph(cv, x0 + gs / 2, h / 2, gs, ink, fill)
            tx = x0 + gs + gap + tw / 2
            if style == 'chooser':
                cv.text(tx, h / 2 - 2, en, en_f, ink, 'ms')
                cv.text(tx, h / 2 + 12, zh, zh_f, ink, 'ms')
            else:
                cv.text(tx, h / 2 - 4, en, en_f, ink, 'ms')
                cv.text(tx, h / 2 + 15, zh, zh_f, ink, 'ms')
        out.append(cv.finish())
    return out


def glyph_minus(cv, cx, cy, ink):
    cv.line([(cx - 5.5, cy + 1), (cx + 5.5, cy + 1)], ink, 2)


def glyph_cross(cv, cx, cy, ink):
    cv.line([(cx - 5, cy - 5), (cx + 5, cy + 5)], ink, 2)
    cv.line([(cx - 5, cy + 5), (cx + 5, cy - 5)], ink, 2)


def glyph_help(cv, cx, cy, ink):
    cv.circle(cx, cy, 8.5, outline=ink, width=1.8)
    cv.text(cx, cy + 0.5, '?', font('en-bold', 12), ink, 'mm')


def glyph_globe(cv, cx, cy, ink):
    cv.circle(cx, cy, 8.5, outline=ink, width=1.8)
    cv.circle(cx, cy, 3.6, outline=ink, width=1.5, ry=8.5)
    cv.line([(cx - 8, cy), (cx + 8, cy)], ink, 1.5, caps=False)


# ---- window backgrounds -------------------------------------------------------

def main_background():
    cv = Canvas(650, 520, PAGE)
    cv.rect(0, 0, 650, 121, fill=BAND)
    cv.rect(0, 121, 650, 124, fill=ACCENT)        # the pages start right under this rule
    g_shield(cv, 598, 80, 74, (237, 241, 244), BAND)  # quiet watermark on the empty right
    cv.rect(14, 8, 38, 32, fill=ACCENT, radius=5)
    g_shield(cv, 26, 20, 18, WHITE, ACCENT)
    title = runs(cv, 46, 28, [('Corvanel', font('en-bold', 20), INK)])
    x = title[2] + 14
    tag = union(runs(cv, x, 17, [('File encryption, recovery and shredding', font('en', 11), INK_SOFT)]),
                runs(cv, x, 32, [('文件加密 · 删除恢复 · 文件粉碎', font('zh', 12), INK_SOFT)]))
    # help (1004) and web page (1000) are bare click areas: their symbols live here
    glyph_help(cv, (331 + 9.5) * 1.5, (4 + 8.5) * 1.625, INK_SOFT)
    glyph_globe(cv, (353 + 9.5) * 1.5, (4 + 8.5) * 1.625, INK_SOFT)
    assert tag[2] < 331 * 1.5 - 6 and tag[3] < 25 * 1.625, tag  # clear of the buttons
    return cv.finish()


def ctl(x, y, w, h):
    """Pixel area a page control may cover. The page bitmap is stretched over the
    page (650/433, 396/235 per dialog unit) while the controls follow the dialog
    font (1.5, 1.625), so keep clear of both placements."""
    return (x * 1.5, y * 1.625, (x + w) * 650 / 433, (y + h) * 396 / 235)


def badge(cv, cx, cy, mark):
    cv.circle(cx, cy, 9, fill=ACCENT if mark != 'i' else (150, 158, 168))
    cv.text(cx, cy + 0.5, mark, font('en-bold', 11), WHITE, 'mm')
    return (cx - 9, cy - 9, cx + 9, cy + 9)


def label(cv, x, y, en, zh, hint_en=None, hint_zh=None, step=None, stack=False):
    """A bold bilingual title with a softer hint under it, on one line or two."""
    boxes = [runs(cv, x, y, [(en, font('en-bold', 13), INK), 8, (zh, font('zh', 13), INK)])]
    hint = [(hint_en, font('en', 11), INK_SOFT), 6, (hint_zh, font('zh', 12), INK_SOFT)]
    if hint_en and stack:
        boxes += [runs(cv, x, y + 17, hint[:1]), runs(cv, x, y + 33, hint[2:])]
    elif hint_en:
        boxes.append(runs(cv, x, y + 17, hint))
    if step:
        boxes.append(badge(cv, 56, y - 5, step))
    return union(*boxes)


def explain(cv, en, zh):
    """The one-line description at the foot of every page."""
    return union(badge(cv, 56, 376, 'i'), runs(cv, 75, 374, [(en, font('en', 11), INK_SOFT)]),
                 runs(cv, 75, 390, [(zh, font('zh', 12), INK_SOFT)]))


def page(controls, draw):
    cv = Canvas(650, 396, PAGE)
    placed = draw(cv)
    for box in placed:     # every label must sit on plain background, inside the page
        assert 4 <= box[0] and 4 <= box[1] and box[2] <= 646 and box[3] <= 394, box
        for c in controls:
            c = ctl(*c)
            hit = box[0] < c[2] + 3 and c[0] - 3 < box[2] and box[1] < c[3] + 3 and c[1] - 3 < box[3]
            assert not hit, (box, c)
    return cv.finish()


def recover_page():
    controls = [(50, 19, 113, 80), (170, 20, 211, 142), (48, 162, 66, 22),
                (50, 195, 233, 15), (300, 181, 85, 32), (87, 117, 40, 36)]
    return page(controls, lambda cv: [
        label(cv, 75, 22, 'Drives', '磁盘', step='1'),
        runs(cv, 284, 22, [('Deleted files', font('en-bold', 13), INK), 8,
                           ('已删除文件', font('zh', 13), INK), 12,
                           ('tick to recover', font('en', 11), INK_SOFT), 6,
                           ('勾选待恢复文件', font('zh', 12), INK_SOFT)]),
        badge(cv, 267, 17, '2'),
        label(cv, 186, 290, 'Recover into', '恢复到', 'a folder on another drive', '另一磁盘上的文件夹'),
        badge(cv, 56, 286, '3'),
        explain(cv, 'Select a drive to scan it for deleted files (NTFS or FAT32). '
                    'Needs administrator rights.',
                '选择磁盘即开始扫描被删除的文件（NTFS 或 FAT32），需要管理员权限。')])


def encrypt_page():
    controls = [(48, 12, 67, 23), (50, 47, 237, 14), (50, 114, 91, 14),
                (196, 114, 91, 14), (324, 95, 40, 36), (201, 181, 85, 32), (300, 181, 85, 32)]
    return page(controls, lambda cv: [
        label(cv, 186, 36, 'File to encrypt or decrypt', '待加/解密文件',
              'choose it with Browse…', '点击“浏览”选择文件'),
        badge(cv, 56, 39, '1'),
        label(cv, 75, 153, 'Cipher', '加/解密算法', 'DES or RC6', 'DES 或 RC6', step='2'),
        label(cv, 294, 153, 'Key', '密钥', '16 characters', '16 个字符'),
        label(cv, 75, 314, 'Encrypt or decrypt', '加密或解密', 'with the same cipher and key',
              '使用相同的算法和密钥', step='3', stack=True),
        explain(cv, 'Encrypts a file with a 16-character key; the encrypted file is saved beside it.',
                '用 16 位密钥加密文件，加密后的文件保存在原文件旁边。')])


def shred_page():
    controls = [(48, 12, 67, 23), (50, 47, 237, 117), (300, 181, 85, 32), (324, 95, 40, 36)]
    return page(controls, lambda cv: [
        label(cv, 186, 36, 'File to shred', '待粉碎文件', 'choose it with Browse…', '点击“浏览”选择文件'),
        badge(cv, 56, 39, '1'),
        label(cv, 75, 314, 'Shred', '粉碎', 'you are asked once more before it starts',
              '开始前会再次确认', step='2'),
        explain(cv, 'Overwrites the file\'s data on the disk and deletes it for good. '
                    'Needs administrator rights.',
                '在磁盘上覆盖文件数据并删除文件，之后无法恢复，需要管理员权限。')])


# ---- animations ---------------------------------------------------------------

FRAMES, SLOW = 71, 0   # frame 0 is held a little longer (13 hundredths), the rest 3


def spinner_frame(k):
    cv = Canvas(60, 60, PAGE)
    cv.arc(30, 30, 20, 0, 360, TRACK, 5)
    head = -90 + k * 360 * 6 / FRAMES        # six turns per loop, so it wraps seamlessly
    for i in range(24):                       # tail fades from the track colour to the accent
        a = head - 120 + i * 5
        colour = tuple(round(p + (q - p) * (i + 1) / 24) for p, q in zip(TRACK, ACCENT))
        cv.arc(30, 30, 20, a, a + 6, colour, 5)
    t = math.radians(head)
    cv.circle(30 + 20 * math.cos(t), 30 + 20 * math.sin(t), 2.5, fill=ACCENT)
    return cv.finish()


def magnifier_frame(k):
    cv = Canvas(60, 60, PAGE)
    phi = k * 360 * 4 / FRAMES                # four sweeps of the disk per loop
    cv.circle(30, 30, 24, fill=(228, 232, 236), outline=RULE, width=2)
    cv.pie(30, 30, 22, phi - 50, phi, ACCENT_TINT)
    for r in (17, 10):
        cv.arc(30, 30, r, 0, 360, (204, 210, 216), 1.5)
    cv.circle(30, 30, 3.5, fill=(160, 168, 178))
    t = math.radians(phi - 25)
    g_glass(cv, 27 + 9 * math.cos(t), 27 + 9 * math.sin(t), 26, ACCENT, (246, 250, 251))
    return cv.finish()


def lzw(indices):
    """GIF LZW with 8-bit root codes; starts afresh whenever the table fills."""
    clear, end = 256, 257
    out, acc, nbits = bytearray(), 0, 0

    def put(code, size):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    table, size, nxt = {}, 9, 258
    put(clear, size)
    w = indices[0]
    for c in indices[1:]:
        if (w, c) in table:
            w = table[(w, c)]
            continue
        put(w, size)
        table[(w, c)] = nxt
        nxt += 1
        if nxt > (1 << size) and size < 12:
            size += 1
        if nxt == 4095:               # one short of the limit, as decoders expect
            put(clear, size)
            table, size, nxt = {}, 9, 258
        w = c
    put(w, size)
    put(end, size)
    if nbits:
        out.append(acc & 0xFF)
    return bytes(out)


def write_gif(path, frames):
    w, h = frames[0].size
    strip = Image.new('RGB', (w, h * len(frames)))
    for i, f in enumerate(frames):
        strip.paste(f, (0, i * h))
    q = strip.quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    pal = (q.getpalette()[:768] + [0] * 768)[:768]
    bg = q.getpixel((0, 0))
    pal[bg * 3:bg * 3 + 3] = PAGE              # exact button face, not a median-cut average
    data = q.tobytes()
    gif = bytearray(b'GIF89a' + struct.pack('<HHBBB', w, h, 0xF7, bg, 0) + bytes(pal))
    gif += b'\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00'    # loop for other viewers
    for i in range(len(frames)):
        delay = 13 if i == SLOW else 3
        gif += struct.pack('<BBBBHBB', 0x21, 0xF9, 4, 1 << 2, delay, 0, 0)  # disposal 1
        gif += struct.pack('<BHHHHB', 0x2C, 0, 0, w, h, 0) + b'\x08'
        code = lzw(data[i * w * h:(i + 1) * w * h])
        for j in range(0, len(code), 255):
            gif += bytes([len(code[j:j + 255])]) + code[j:j + 255]
        gif += b'\x00'
    gif += b'\x3B'
    with open(path, 'wb') as fh:
        fh.write(gif)
    check_gif(path, [q.crop((0, i * h, w, (i + 1) * h)) for i in range(len(frames))])


def check_gif(path, expected):
    """Walk the blocks the way the player does, then let Pillow decode every frame."""
    b = open(path, 'rb').read()

    def chain(p):
        while b[p]:
            p += b[p] + 1
        return p + 1

    w, h, packed = struct.unpack_from('<HHB', b, 6)
    assert b[:6] == b'GIF89a' and (w, h) == (60, 60)
    p = 13 + (3 << ((packed & 7) + 1) if packed & 0x80 else 0)
    images, gces = 0, []
    while b[p] != 0x3B:
        if b[p] == 0x2C:
            assert not b[p + 9] & 0x80, 'no local colour tables'
            images += 1
            p = chain(p + 11)
        elif b[p:p + 2] == b'\x21\xF9':
            gces.append((b[p + 3], struct.unpack_from('<H', b, p + 4)[0]))
            assert b[p + 8] == 0x2C, 'graphic control extension must lead straight to its image'
            p += 8
        elif b[p:p + 2] == b'\x21\xFF':
            p = chain(p + 14)
        else:
            raise AssertionError('unexpected block 0x%02x at %d' % (b[p], p))
    assert p == len(b) - 1
    assert images == FRAMES and len(gces) == FRAMES, (images, len(gces))
    assert all((pk >> 2) & 7 == 1 for pk, _ in gces)
    delays = [d for _, d in gces]
    assert delays.count(3) == FRAMES - 1 and delays.count(13) == 1, delays
    with Image.open(path) as im:
        assert im.n_frames == FRAMES
        for i, want in enumerate(expected):
            im.seek(i)
            assert im.convert('RGB').tobytes() == want.convert('RGB').tobytes(), i


# ---- icons ----------------------------------------------------------------------

def icon_image(size, draw):
    cv = Canvas(size, size, (0, 0, 0, 0))
    draw(cv, size)
    return cv.finish()


def write_ico(path, images):
    """Small sizes as 32-bit DIBs with an AND mask, 256 as PNG (Vista and later)."""
    blobs = []
    for im in images:
        w, h = im.size
        if w >= 256:
            buf = io.BytesIO()
            im.save(buf, 'PNG')
            blobs.append(buf.getvalue())
            continue
        px = im.tobytes('raw', 'BGRA')
        rows = b''.join(px[y * w * 4:(y + 1) * w * 4] for y in reversed(range(h)))
        stride = (w + 31) // 32 * 4
        mask = bytearray()
        for y in reversed(range(h)):
            row = bytearray(stride)
            for x in range(w):
                if px[(y * w + x) * 4 + 3] < 128:
                    row[x >> 3] |= 0x80 >> (x & 7)
            mask += row
        head = struct.pack('<IiiHHIIiiII', 40, w, 2 * h, 1, 32, 0, len(rows) + len(mask), 0, 0, 0, 0)
        blobs.append(head + rows + bytes(mask))
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for im, blob in zip(images, blobs):
        out += struct.pack('<BBBBHHII', im.width % 256, im.height % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    with open(path, 'wb') as fh:
        fh.write(out + b''.join(blobs))
    with Image.open(path) as ico:
        assert ico.info['sizes'] == {im.size for im in images}, ico.info['sizes']


def app_icon(cv, s):
    cv.rect(0, 0, s, s, fill=ACCENT + (255,), radius=s * 0.2)
    g_shield(cv, s / 2, s / 2, s * 0.74, WHITE + (255,), ACCENT + (255,))


def deleted_file_icon(cv, s):
    g_doc(cv, s * 0.42, s * 0.5, s, (130, 138, 148, 255), (250, 250, 250, 255))
    r = s * 0.22
    cv.circle(s - r - 0.5, s - r - 0.5, r, fill=ACCENT + (255,))
    k, c = r * 0.45, s - r - 0.5
    for sgn in (1, -1):
        cv.line([(c - k, c - sgn * k), (c + k, c + sgn * k)], WHITE + (255,), max(s * 0.08, 1.3))


def folder_icon(cv, s):
    g_folder(cv, s / 2, s / 2, s * 0.96, ACCENT_DARK + (255,), (236, 198, 110, 255))


def drive_icon(cv, s):
    t = max(s * 0.06, 1.2)
    cv.rect(s * 0.04, s * 0.24, s * 0.96, s * 0.8, fill=(204, 210, 216, 255),
            outline=(96, 104, 114, 255), width=t, radius=s * 0.1)
    cv.rect(s * 0.04 + t, s * 0.54, s * 0.96 - t, s * 0.8 - t, fill=(168, 176, 186, 255),
            radius=s * 0.06)
    cv.circle(s * 0.78, s * 0.67, max(s * 0.07, 1.3), fill=(60, 180, 110, 255))


def computer_icon(cv, s):
    t = max(s * 0.07, 1.2)
    cv.rect(s * 0.04, s * 0.08, s * 0.96, s * 0.7, fill=ACCENT + (255,),
            outline=(60, 66, 74, 255), width=t, radius=s * 0.06)
    cv.rect(s * 0.42, s * 0.7, s * 0.58, s * 0.84, fill=(60, 66, 74, 255))
    cv.rect(s * 0.22, s * 0.84, s * 0.78, s * 0.94, fill=(60, 66, 74, 255), radius=s * 0.03)


# ---- output -------------------------------------------------------------------

def save_bmp(outdir, rid, img, size):
    assert img.mode == 'RGB' and img.size == size, (rid, img.size)
    path = os.path.join(outdir, '%d.bmp' % rid)
    img.save(path, 'BMP')
    head = open(path, 'rb').read(30)
    assert head[:2] == b'BM' and struct.unpack_from('<iiHH', head, 18) == (size[0], size[1], 1, 24)


def main(outdir):
    os.makedirs(outdir, exist_ok=True)
    save_bmp(outdir, 133, main_background(), (650, 520))
    for rid, make in ((136, recover_page), (137, encrypt_page), (138, shred_page)):
        save_bmp(outdir, rid, make(), (650, 396))
    buttons = [  # ids (normal, hover, pressed), size, style, the colour under it, glyph, words
        ((140, 153, 165), (100, 38), 'chooser', PAGE, g_folder, 'Browse…', '浏览'),
        ((142, 154, 166), (28, 28), 'title', BAND, glyph_cross, '', ''),
        ((143, 155, 167), (128, 54), 'action', PAGE, g_shred, 'Shred', '粉碎'),
        ((144, 156, 168), (64, 82), 'page', BAND, g_lock, 'Encrypt', '加密'),
        ((146, 158, 170), (128, 54), 'action', PAGE, g_restore, 'Recover', '恢复'),
        ((147, 159, 171), (128, 54), 'action', PAGE, g_lock, 'Encrypt', '加密'),
        ((148, 160, 172), (128, 54), 'action', PAGE, lambda *a: g_lock(*a, opened=True), 'Decrypt', '解密'),
        ((149, 161, 173), (28, 28), 'title', BAND, glyph_minus, '', ''),
        ((150, 162, 174), (100, 38), 'chooser', PAGE, g_folder, 'Save to…', '存放路径'),  # picks the destination folder
        ((151, 163, 175), (64, 82), 'page', BAND, g_restore, 'Recover', '恢复'),
        ((152, 164, 176), (64, 82), 'page', BAND, g_shred, 'Shred', '粉碎'),
    ]
    for rids, size, style, under, glyph, en, zh in buttons:
        pics = skins(*size, style, under, glyph, en, zh)
        assert len({p.tobytes() for p in pics}) == 3, rids   # three distinct states
        for rid, pic in zip(rids, pics):
            save_bmp(outdir, rid, pic, size)

    write_gif(os.path.join(outdir, '139.gif'), [spinner_frame(k) for k in range(FRAMES)])
    write_gif(os.path.join(outdir, '140.gif'), [magnifier_frame(k) for k in range(FRAMES)])

    icons = {128: (app_icon, (16, 24, 32, 48, 256)), 134: (deleted_file_icon, (16, 32, 48)),
             135: (folder_icon, (16, 32, 48)), 136: (drive_icon, (16, 32, 48)),
             177: (computer_icon, (16, 32, 48))}
    for rid, (draw, sizes) in icons.items():
        write_ico(os.path.join(outdir, '%d.ico' % rid), [icon_image(s, draw) for s in sizes])

    made = {'%d.bmp' % r for r in [133, 136, 137, 138] + [i for b in buttons for i in b[0]]}
    made |= {'139.gif', '140.gif'} | {'%d.ico' % r for r in icons}
    assert len(made) == 4 + 33 + 2 + 5 and made <= set(os.listdir(outdir))


if __name__ == '__main__':
    if len(sys.argv) != 2:
        sys.exit('usage: make_artwork.py OUTDIR')
    main(sys.argv[1])
