#!/usr/bin/env python3
"""Writes the monochrome symbol icons of the interface (24 × 24, black on clear).

The icons are tinted at run time, so only their shapes matter. Qt's SVG renderer
has no masks, so cut-outs (a tick in a shield, a cross in a case) are holes of an
even-odd path, and the thick strokes that form them are turned into outlines here.
Run from this folder: python3 make_icons.py
"""
import math

HEADER = '<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 24 24" width="24" height="24">\n'


def fmt(v):
    s = f"{v:.2f}".rstrip("0").rstrip(".")
    return "0" if s == "-0" else s


def poly(points):
    return "M" + " L".join(f"{fmt(x)} {fmt(y)}" for x, y in points) + " Z"


def circle(cx, cy, r, clockwise=True):
    s = 1 if clockwise else 0
    return (f"M{fmt(cx - r)} {fmt(cy)} A{fmt(r)} {fmt(r)} 0 1 {s} {fmt(cx + r)} {fmt(cy)} "
            f"A{fmt(r)} {fmt(r)} 0 1 {s} {fmt(cx - r)} {fmt(cy)} Z")


def rounded_rect(x, y, w, h, r):
    return (f"M{fmt(x + r)} {fmt(y)} H{fmt(x + w - r)} A{fmt(r)} {fmt(r)} 0 0 1 {fmt(x + w)} {fmt(y + r)} "
            f"V{fmt(y + h - r)} A{fmt(r)} {fmt(r)} 0 0 1 {fmt(x + w - r)} {fmt(y + h)} "
            f"H{fmt(x + r)} A{fmt(r)} {fmt(r)} 0 0 1 {fmt(x)} {fmt(y + h - r)} "
            f"V{fmt(y + r)} A{fmt(r)} {fmt(r)} 0 0 1 {fmt(x + r)} {fmt(y)} Z")


def thick_polyline(points, width):
    """Outline of a polyline drawn `width` wide with mitred joins and square ends."""
    h = width / 2
    n = len(points)

    def unit(a, b):
        dx, dy = b[0] - a[0], b[1] - a[1]
        length = math.hypot(dx, dy)
        return dx / length, dy / length

    dirs = [unit(points[i], points[i + 1]) for i in range(n - 1)]
    left, right = [], []
    for i, p in enumerate(points):
        if i == 0:
            d = dirs[0]
            nx, ny = -d[1], d[0]
            base = (p[0] - d[0] * h, p[1] - d[1] * h)
            left.append((base[0] + nx * h, base[1] + ny * h))
            right.append((base[0] - nx * h, base[1] - ny * h))
        elif i == n - 1:
            d = dirs[-1]
            nx, ny = -d[1], d[0]
            base = (p[0] + d[0] * h, p[1] + d[1] * h)
            left.append((base[0] + nx * h, base[1] + ny * h))
            right.append((base[0] - nx * h, base[1] - ny * h))
        else:
            d0, d1 = dirs[i - 1], dirs[i]
            n0 = (-d0[1], d0[0])
            n1 = (-d1[1], d1[0])
            mx, my = n0[0] + n1[0], n0[1] + n1[1]
            ml = math.hypot(mx, my)
            mx, my = mx / ml, my / ml
            scale = h / (mx * n0[0] + my * n0[1])
            left.append((p[0] + mx * scale, p[1] + my * scale))
            right.append((p[0] - mx * scale, p[1] - my * scale))
    return poly(left + right[::-1])


SHIELD = "M12 2 L20 5 V11 C20 16 16.5 20 12 22 C7.5 20 4 16 4 11 V5 Z"
TICK = [(7.6, 12.2), (10.8, 15.4), (16.6, 9.0)]


def filled(d):
    return f'  <path fill="#000" fill-rule="evenodd" d="{d}"/>\n'


def stroked(d, width=1.8):
    return (f'  <path fill="none" stroke="#000" stroke-width="{fmt(width)}" '
            f'stroke-linecap="round" stroke-linejoin="round" d="{d}"/>\n')


icons = {}

icons["globe"] = (
    stroked(circle(12, 12, 9)) +
    stroked(f"M12 3 C7 6.5 7 17.5 12 21 C17 17.5 17 6.5 12 3 Z", 1.5) +
    stroked("M3 12 H21", 1.5) +
    stroked(f"M{fmt(12 - 7.5)} 7.5 H{fmt(12 + 7.5)} M{fmt(12 - 7.5)} 16.5 H{fmt(12 + 7.5)}", 1.3)
)

icons["globe.americas.fill"] = (
    filled(circle(12, 12, 10) + " " + circle(12, 12, 8.2, clockwise=False)) +
    filled("M7 6.2 C9 5 12 5 13.5 6.3 C14.2 7.5 12.8 8.6 12.2 9.8 C11.6 11 10 11.2 9.2 10.4 "
           "C8.4 9.6 7.6 10.2 6.6 9.6 C5.8 8.6 6 7.2 7 6.2 Z") +
    filled("M11.4 12.6 C12.8 12.2 14.6 12.8 15 14.2 C15.3 15.6 14.2 16.8 13.6 18.2 "
           "C13.2 19.2 12.2 19.6 11.8 18.6 C11.4 17.4 11.6 16 10.8 15 C10.2 14 10.4 12.9 11.4 12.6 Z") +
    filled("M16.2 7.4 C17.2 7.2 18.4 8.2 18.6 9.4 C18.7 10.2 18 10.6 17.4 10.1 C16.8 9.5 15.8 8.2 16.2 7.4 Z")
)

# The globe stops short of the badge so the chevron stands clear of it.
gx, gy, gr = 10, 10, 7.5
bx, by, br, gap = 18, 18, 5, 6.6


def ring_outside_badge():
    # The angles where the globe's ring meets the gap circle around the badge.
    d = math.hypot(bx - gx, by - gy)
    a = math.atan2(by - gy, bx - gx)
    half = math.acos((gr * gr + d * d - gap * gap) / (2 * gr * d))
    start, end = a + half, a - half + 2 * math.pi
    p0 = (gx + gr * math.cos(start), gy + gr * math.sin(start))
    p1 = (gx + gr * math.cos(end), gy + gr * math.sin(end))
    return f"M{fmt(p0[0])} {fmt(p0[1])} A{fmt(gr)} {fmt(gr)} 0 1 1 {fmt(p1[0])} {fmt(p1[1])}"


icons["globe.badge.chevron.backward"] = (
    stroked(ring_outside_badge(), 1.7) +
    stroked(f"M{gx} {gy - gr} C{gx - 4.2} {gy - 4.5} {gx - 4.2} {gy + 4.5} {gx} {gy + gr} "
            f"M{gx} {gy - gr} C{gx + 4.2} {gy - 4.5} {gx + 4.2} {gy + 2} {gx + 2.6} {gy + 5.2}", 1.4) +
    stroked(f"M{gx - gr} {gy} H{gx + gr}", 1.4) +
    filled(circle(bx, by, br) + " " + thick_polyline([(19.1, 15.6), (16.7, 18), (19.1, 20.4)], 1.6))
)

icons["exclamationmark.shield.fill"] = filled(
    SHIELD + " " + rounded_rect(10.85, 6.3, 2.3, 7.4, 1.1) + " " + circle(12, 16.6, 1.35))

icons["checkmark.shield.fill"] = filled(SHIELD + " " + thick_polyline(TICK, 2.3))

icons["checkmark.circle.fill"] = filled(circle(12, 12, 10) + " " + thick_polyline(TICK, 2.3))

icons["checkmark"] = stroked("M4.5 12.5 L9.5 17.5 L19.5 6.5", 2.4)

icons["xmark"] = stroked("M6 6 L18 18 M18 6 L6 18", 2.4)


def star(cx, cy, rx, ry):
    k = 0.16  # how far the concave sides bow towards the centre
    return (f"M{fmt(cx)} {fmt(cy - ry)} "
            f"Q{fmt(cx + rx * k)} {fmt(cy - ry * k)} {fmt(cx + rx)} {fmt(cy)} "
            f"Q{fmt(cx + rx * k)} {fmt(cy + ry * k)} {fmt(cx)} {fmt(cy + ry)} "
            f"Q{fmt(cx - rx * k)} {fmt(cy + ry * k)} {fmt(cx - rx)} {fmt(cy)} "
            f"Q{fmt(cx - rx * k)} {fmt(cy - ry * k)} {fmt(cx)} {fmt(cy - ry)} Z")


icons["sparkles"] = filled(star(9.5, 13.5, 7, 8.5)) + filled(star(18.5, 5.5, 3.2, 3.8)) + filled(star(19, 17.5, 2.4, 2.8))

icons["server.rack"] = "".join(
    stroked(rounded_rect(3.5, y, 17, 5, 1.4), 1.6) +
    filled(circle(17, y + 2.5, 1.05)) +
    stroked(f"M6.5 {fmt(y + 2.5)} H11", 1.4)
    for y in (3, 9.5, 16))

icons["person.fill"] = filled(circle(12, 7.5, 4.2)) + filled(
    "M3.8 21 C3.8 15.8 7.6 13.4 12 13.4 C16.4 13.4 20.2 15.8 20.2 21 Z")

icons["paperplane.fill"] = filled("M2.6 10.9 L21.2 3 L14.6 21.3 L11.5 13.6 Z M11.5 13.6 L21.2 3 L10.4 12.3 Z")

icons["envelope.fill"] = filled(
    rounded_rect(2, 5, 20, 14, 2.2) + " " + thick_polyline([(3.2, 6.9), (12, 13.2), (20.8, 6.9)], 1.5))


def plus(cx, cy, arm, t):
    h = t / 2
    return poly([(cx - h, cy - arm), (cx + h, cy - arm), (cx + h, cy - h), (cx + arm, cy - h),
                 (cx + arm, cy + h), (cx + h, cy + h), (cx + h, cy + arm), (cx - h, cy + arm),
                 (cx - h, cy + h), (cx - arm, cy + h), (cx - arm, cy - h), (cx - h, cy - h)])


icons["cross.case.fill"] = (
    stroked(rounded_rect(8.5, 3.2, 7, 4.6, 1.2), 1.8) +
    filled(rounded_rect(2, 7, 20, 14, 2.6) + " " + plus(12, 14, 3.9, 2.5))
)

for name, body in icons.items():
    with open(f"{name}.svg", "w") as f:
        f.write(HEADER + body + "</svg>\n")
print(f"wrote {len(icons)} icons")
