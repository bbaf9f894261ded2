#!/usr/bin/env python3
"""Regenerates the client's embedded images into this folder.

Only the standard library is used and the output is byte-for-byte
reproducible, so the images are rebuilt from here rather than edited by hand.
"""

import itertools
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

TEAL = (0x50, 0xBF, 0xD3, 255)
TEAL_DARK = (0x2F, 0x8E, 0xA1, 255)
TEAL_PALE = (0xDC, 0xEE, 0xF2, 255)
GLYPH = (0x66, 0x66, 0x66, 255)
GLYPH_PRESSED = (0x44, 0x44, 0x44, 255)
GLYPH_DISABLED = (0x66, 0x66, 0x66, 90)
CLOSE_HOVER = (0xE8, 0x3E, 0x26, 255)
CLOSE_PRESSED = (0xC2, 0x2F, 0x1B, 255)
CREAM = (0xFB, 0xF9, 0xE9, 255)
WHITE = (0xFF, 0xFF, 0xFF, 255)
CLEAR = (0, 0, 0, 0)


def mix(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


class Canvas:
    def __init__(self, w, h, colour=CLEAR):
        self.w, self.h = w, h
        self.px = [colour] * (w * h)

    def copy(self):
        c = Canvas(self.w, self.h)
        c.px = list(self.px)
        return c

    def gradient(self, top, bottom):
        for y in range(self.h):
            colour = mix(top, bottom, y / max(1, self.h - 1))
            self.px[y * self.w:(y + 1) * self.w] = [colour] * self.w

    def blend(self, x, y, colour, cover):
        # Straight-alpha "over", so edges stay right on transparent canvases.
        i = y * self.w + x
        sa = colour[3] * cover / 255
        da = self.px[i][3] / 255
        oa = sa + da * (1 - sa)
        if oa:
            rgb = tuple(round((s * sa + d * da * (1 - sa)) / oa)
                        for s, d in zip(colour[:3], self.px[i][:3]))
            self.px[i] = rgb + (round(oa * 255),)

    def fill_rect(self, x0, y0, x1, y1, colour):
        self.fill(rect(x0, y0, x1, y1), colour, (x0, y0, x1, y1), 1)

    def fill(self, inside, colour, box=None, ss=4):
        """Paints shape `inside` with ss x ss samples per pixel; ss=1 keeps
        edges hard, which paletted formats with 1-bit transparency need."""
        x0, y0, x1, y1 = box or (0, 0, self.w, self.h)
        offsets = [(k + 0.5) / ss for k in range(ss)]
        for y in range(y0, y1):
            for x in range(x0, x1):
                hits = sum(inside(x + dx, y + dy)
                           for dy in offsets for dx in offsets)
                if hits:
                    self.blend(x, y, colour, hits / (ss * ss))


# Shapes are predicates over continuous pixel coordinates.

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def outline(x0, y0, x1, y1):
    return minus(rect(x0, y0, x1, y1), rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1))


def capsule(x0, y0, x1, y1):
    r, cy = (y1 - y0) / 2, (y0 + y1) / 2
    return union(rect(x0 + r, y0, x1 - r, y1),
                 circle(x0 + r, cy, r), circle(x1 - r, cy, r))


def stroke(ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        ex, ey = x - ax - t * dx, y - ay - t * dy
        return ex * ex + ey * ey <= width * width / 4
    return inside


def polygon(points):
    edges = list(zip(points, points[1:] + points[:1]))

    def inside(x, y):
        odd = False
        for (ax, ay), (bx, by) in edges:
            if (ay > y) != (by > y) and x < ax + (y - ay) * (bx - ax) / (by - ay):
                odd = not odd
        return odd
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def scaled(shape, s):
    return lambda x, y: shape(x / s, y / s)


# Encoders.

def png_bytes(c):
    def chunk(tag, data):
        return (struct.pack('>I', len(data)) + tag + data
                + struct.pack('>I', zlib.crc32(tag + data)))
    raw = b''.join(b'\0' + bytes(itertools.chain.from_iterable(
        c.px[y * c.w:(y + 1) * c.w])) for y in range(c.h))
    return (b'\x89PNG\r\n\x1a\n'
            + chunk(b'IHDR', struct.pack('>IIBBBBB', c.w, c.h, 8, 6, 0, 0, 0))
            + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def lzw(indices, min_size=8):
    clear = 1 << min_size
    out = bytearray()
    acc = nbits = 0
    size, table, next_code = min_size + 1, {}, clear + 2

    def put(code):
        nonlocal acc, nbits
        acc |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nbits -= 8

    put(clear)
    prefix = indices[0]
    for k in indices[1:]:
        key = prefix << 8 | k
        if key in table:
            prefix = table[key]
            continue
        put(prefix)
        if next_code < 4096:
            table[key] = next_code
            next_code += 1
            # The decoder adds its entries one code later, hence ">" not ">=".
            if next_code > 1 << size and size < 12:
                size += 1
        else:
            put(clear)
            size, table, next_code = min_size + 1, {}, clear + 2
        prefix = k
    put(prefix)
    put(clear + 1)
    if nbits:
        out.append(acc)
    return bytes(out)


def gif_bytes(frames, delay=0):
    w, h = frames[0].w, frames[0].h
    pixels = [p for f in frames for p in f.px]
    assert all(p[3] in (0, 255) for p in pixels), 'GIF has no partial alpha'
    transparent = any(p[3] == 0 for p in pixels)
    # Index 0 is reserved for transparency when any frame needs it.
    colours = sorted({p[:3] for p in pixels if p[3]})
    table = [(0, 0, 0)] * transparent + colours
    assert len(table) <= 256, 'too many colours for one GIF palette'
    index = {c: i + transparent for i, c in enumerate(colours)}
    out = bytearray(b'GIF89a' + struct.pack('<HHBBB', w, h, 0xF7, 0, 0))
    out += bytes(itertools.chain.from_iterable(table)).ljust(768, b'\0')
    if len(frames) > 1:
        out += b'\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00'
    # Transparent frames must restore to background, or old frames show through.
    flags = 0x09 if transparent else 0x04
    for f in frames:
        out += struct.pack('<BBBBHBB', 0x21, 0xF9, 4, flags, delay, 0, 0)
        out += b'\x2C' + struct.pack('<HHHHB', 0, 0, w, h, 0) + b'\x08'
        data = lzw(bytes(index[p[:3]] if p[3] else 0 for p in f.px))
        for i in range(0, len(data), 255):
            out += bytes([len(data[i:i + 255])]) + data[i:i + 255]
        out += b'\0'
    return bytes(out + b'\x3B')


def and_mask(c):
    stride = (c.w + 31) // 32 * 4
    rows = []
    for y in reversed(range(c.h)):
        bits = 0
        for x in range(c.w):
            bits = bits << 1 | (c.px[y * c.w + x][3] < 128)
        rows.append((bits << (stride * 8 - c.w)).to_bytes(stride, 'big'))
    return b''.join(rows)


def dib_bytes(c, bpp):
    """BMP body of an icon entry: 8-bit paletted or 32-bit BGRA, bottom-up."""
    if bpp == 8:
        # Hidden pixels point at black; the AND mask is what hides them.
        palette = sorted({p[:3] for p in c.px if p[3] >= 128} | {(0, 0, 0)})
        assert len(palette) <= 256, 'too many colours for an 8-bit icon'
        index = {col: i for i, col in enumerate(palette)}
        head = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
        head = head.ljust(1024, b'\0')

        def encode(row):
            return bytes(index[p[:3] if p[3] >= 128 else (0, 0, 0)] for p in row)
    else:
        head = b''

        def encode(row):
            return b''.join(bytes((b, g, r, a)) for r, g, b, a in row)
    stride = (c.w * bpp // 8 + 3) // 4 * 4
    xor = b''.join(encode(c.px[y * c.w:(y + 1) * c.w]).ljust(stride, b'\0')
                   for y in reversed(range(c.h)))
    mask = and_mask(c)
    info = struct.pack('<IiiHHIIiiII', 40, c.w, 2 * c.h, 1, bpp, 0,
                       len(xor) + len(mask), 0, 0, 0, 0)
    return info + head + xor + mask


def ico_bytes(images):
    # Readers expect 256 px entries as PNG; smaller ones stay BMP for old ones.
    blobs = [png_bytes(c) if c.w == 256 else dib_bytes(c, bpp) for c, bpp in images]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = len(out) + 16 * len(images)
    for (c, bpp), blob in zip(images, blobs):
        out += struct.pack('<BBBBHHII', c.w % 256, c.h % 256, 0, 0, 1, bpp,
                           len(blob), offset)
        offset += len(blob)
    return out + b''.join(blobs)


def save(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


# Images.

def house(canvas, ox, oy, size, walls, roof, accent, ss=4):
    # Laid out on a 16-unit grid so straight edges stay sharp at 16, 32 and 48 px.
    layers = [
        (rect(10, 2, 12, 6), roof),
        (rect(3, 8, 13, 15), walls),
        (polygon([(8, 1.5), (15.5, 9), (0.5, 9)]), roof),
        (rect(7, 11, 9, 15), accent),
        (circle(8, 6.5, 1.1), accent),
    ]
    for shape, colour in layers:
        s = scaled(shape, size / 16)
        canvas.fill(lambda x, y: s(x - ox, y - oy), colour,
                    (ox, oy, ox + size, oy + size), ss)


def house_ico():
    def icon(size):
        c = Canvas(size, size)
        house(c, 0, 0, size, TEAL, TEAL_DARK, WHITE)
        return c
    save('house.ico', ico_bytes([(icon(s), 8) for s in (48, 32, 24, 16)]
                                + [(icon(s), 32) for s in (256, 48, 32, 24, 16)]))


GLYPHS = {
    'min': rect(10, 11, 20, 12),
    'max': outline(10, 6, 20, 16),
    'restore': union(outline(10, 8, 18, 16),
                     minus(outline(12, 6, 20, 14), rect(10, 8, 18, 16))),
    'close': union(stroke(10.5, 6.5, 19.5, 15.5, 1.3),
                   stroke(19.5, 6.5, 10.5, 15.5, 1.3)),
}


def title_button(name):
    """Normal, hover, pressed and disabled frames, 30 x 22 each, side by side."""
    if name == 'close':
        backs = [None, CLOSE_HOVER, CLOSE_PRESSED, None]
        inks = [GLYPH, WHITE, WHITE, GLYPH_DISABLED]
    else:
        backs = [None, (255, 255, 255, 120), (0, 0, 0, 36), None]
        inks = [GLYPH, GLYPH, GLYPH_PRESSED, GLYPH_DISABLED]
    glyph = GLYPHS[name]
    c = Canvas(120, 22)
    for frame, (back, ink) in enumerate(zip(backs, inks)):
        ox = 30 * frame
        if back:
            c.fill_rect(ox, 0, ox + 30, 22, back)
        c.fill(lambda x, y: glyph(x - ox, y), ink, (ox, 0, ox + 30, 22))
    save(name + '.png', png_bytes(c))


def barbg_png():
    c = Canvas(3, 25)
    c.gradient((0xFA, 0xFA, 0xFA, 225), (0xE6, 0xE6, 0xE6, 225))
    c.px[-3:] = [(0xD4, 0xD4, 0xD4, 240)] * 3
    save('barbg.png', png_bytes(c))


def sonbg_png():
    c = Canvas(1000, 1000)
    c.gradient((0xFC, 0xFE, 0xFF, 255), (0xEB, 0xF6, 0xF9, 255))
    # The child window's title bar: its title is white.
    c.fill_rect(0, 0, 1000, 24, TEAL)
    save('sonbg.png', png_bytes(c))


def msk_gif():
    # 460 = 5 * 92 and 301 = 7 * 43, so a 5 x 7 dot grid tiles seamlessly.
    c = Canvas(460, 301, (0xEE, 0xF2, 0xF3, 255))
    c.fill(lambda x, y: x % 5 < 1 and y % 7 < 1, (0xDF, 0xE6, 0xE8, 255), ss=1)
    save('msk.gif', gif_bytes([c]))


def load_gif():
    track = capsule(8, 9, 152, 15)
    frames = []
    for i in range(20):
        head = 8 - 40 + i * (144 + 40) / 20
        c = Canvas(160, 24)
        c.fill(track, TEAL_PALE, ss=1)
        segment = capsule(head, 9, head + 40, 15)
        c.fill(lambda x, y: track(x, y) and segment(x, y), TEAL, ss=1)
        frames.append(c)
    save('load.gif', gif_bytes(frames, 6))


def dot_wave(c, count, cx0, step, cy, frame, frames, small, big, dim, bright):
    """Row of square dots with a highlight travelling along it and wrapping."""
    wave = frame * count / frames
    for k in range(count):
        d = abs(k - wave)
        level = max(0.0, 1 - min(d, count - d) / 1.5)
        half = (small + (big - small) * round(2 * level) // 2) // 2
        cx = cx0 + k * step
        c.fill_rect(cx - half, cy - half, cx + half + 1, cy + half + 1,
                    mix(dim, bright, level))


def loginload_gif():
    frames = []
    for i in range(18):
        c = Canvas(220, 25)
        dot_wave(c, 9, 30, 20, 12, i, 18, 5, 9, TEAL_PALE, TEAL)
        frames.append(c)
    save('loginload.gif', gif_bytes(frames, 9))


FONT = {
    'T': ['#####', '..#..', '..#..', '..#..', '..#..', '..#..', '..#..'],
    'a': ['.....', '.....', '.###.', '....#', '.####', '#...#', '.####'],
    'v': ['.....', '.....', '#...#', '#...#', '#...#', '.#.#.', '..#..'],
    'r': ['.....', '.....', '#.##.', '##..#', '#....', '#....', '#....'],
    'e': ['.....', '.....', '.###.', '#...#', '#####', '#....', '.###.'],
    'l': ['.##..', '..#..', '..#..', '..#..', '..#..', '..#..', '.###.'],
}


def text(c, x, y, s, scale, colour):
    for n, ch in enumerate(s):
        for row, bits in enumerate(FONT[ch]):
            for col, bit in enumerate(bits):
                if bit == '#':
                    px, py = x + (6 * n + col) * scale, y + row * scale
                    c.fill_rect(px, py, px + scale, py + scale, colour)


def main_gif():
    base = Canvas(400, 240, TEAL)
    house(base, 168, 24, 64, CREAM, WHITE, TEAL_DARK)
    text(base, 60, 104, 'Tavrel', 8, CREAM)
    frames = []
    for i in range(15):
        c = base.copy()
        dot_wave(c, 5, 160, 20, 196, i, 15, 5, 9, mix(TEAL, WHITE, 0.35), WHITE)
        frames.append(c)
    save('main.gif', gif_bytes(frames, 8))


if __name__ == '__main__':
    house_ico()
    for button in GLYPHS:
        title_button(button)
    barbg_png()
    sonbg_png()
    msk_gif()
    load_gif()
    loginload_gif()
    main_gif()
