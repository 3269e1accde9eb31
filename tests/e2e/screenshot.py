"""A screenshot of the virtual display (xwd), cropped to what is drawn on it, as a PNG file."""
import struct, subprocess, zlib


def _png(width, height, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def screen(display):
    """The virtual display's pixels: (width, height, rows of red, green and blue bytes)."""
    dump = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True,
                          check=True, timeout=30).stdout
    header = struct.unpack(">25I", dump[:100])
    header_size, width, height, byte_order = header[0], header[4], header[5], header[7]
    bits_per_pixel, bytes_per_line, ncolors = header[11], header[12], header[19]
    if bits_per_pixel not in (24, 32):
        raise RuntimeError("expected 24 or 32 bits a pixel, got %d" % bits_per_pixel)
    step = bits_per_pixel // 8
    if header[14:17] != (0xFF0000, 0x00FF00, 0x0000FF):
        raise RuntimeError("expected an RGB display")
    data = dump[header_size + 12 * ncolors:]
    # Least significant byte first, a pixel is blue, green, red (and an unused byte).
    r, g, b = (2, 1, 0) if byte_order == 0 else (step - 3, step - 2, step - 1)
    rows = []
    for y in range(height):
        line = data[y * bytes_per_line:y * bytes_per_line + step * width]
        rgb = bytearray(3 * width)
        rgb[0::3], rgb[1::3], rgb[2::3] = line[r::step], line[g::step], line[b::step]
        rows.append(bytes(rgb))
    return width, height, rows


def take(display, out):
    """Writes the drawn part of the screen to `out`; gives (width, height, distinct colours)."""
    width, height, rows = screen(display)
    background = rows[-1][-3:]
    drawn_rows = [y for y, row in enumerate(rows) if row != background * width]
    if not drawn_rows:
        raise RuntimeError("nothing is drawn on the display")
    top, bottom = drawn_rows[0], drawn_rows[-1] + 1
    columns = [x for x in range(width) if any(rows[y][3 * x:3 * x + 3] != background for y in range(top, bottom, 4))]
    left, right = columns[0], columns[-1] + 1
    cropped = [row[3 * left:3 * right] for row in rows[top:bottom]]
    with open(out, "wb") as f:
        f.write(_png(right - left, bottom - top, cropped))
    colours = {row[i:i + 3] for row in cropped[::7] for i in range(0, len(row), 21)}
    return right - left, bottom - top, len(colours)
