#!/usr/bin/env python3
"""Writes the fifteen tray icons of Vortlebox as SVG files into res/icons/.

Each icon is the program's note in one of the five user colours; the caching
icons carry an amber exclamation badge, the disabled icons a red prohibition
badge. The pictures are drawn on a 16x16 grid so that they stay sharp at the
sizes a tray uses (16 and 22 pixels); the outline keeps the note readable on
light and dark panels. Run it again after changing the drawing:

    python3 tools/make-tray-icons.py
"""

import os

# Colour number of a user -> (name, fill, outline), and the resource
# identifiers of its normal, caching and disabled icon.
COLOURS = [
    ("red", "#d93a2f", "#5a0f0b", (187, 188, 174)),
    ("blue", "#2f6fd6", "#0d2a5c", (178, 179, 180)),
    ("green", "#2e9e44", "#0e3d18", (181, 182, 183)),
    ("yellow", "#f4c51c", "#5c4600", (184, 185, 186)),
    ("black", "#333333", "#f2f2f2", (175, 176, 177)),
]

# The note: a stem with a flag and an oval head, drawn as one outline layer
# under one fill layer so that the joins show no inner edges.
NOTE_SHAPES = [
    '<rect x="7.9" y="1.1" width="2.1" height="11" rx="0.4"/>',
    '<path d="M9.3 1.1 C10.2 3.4 13.9 4.1 13.4 8.6 C12.9 6.7 11.6 5.9 9.3 5.6 Z"/>',
    '<ellipse cx="6.1" cy="11.9" rx="3.7" ry="2.7" transform="rotate(-24 6.1 11.9)"/>',
]

BADGES = {
    "normal": "",
    # Amber triangle with an exclamation mark.
    "caching": (
        '<path d="M11.5 7.2 L15.7 15.2 L7.3 15.2 Z" fill="#f5a300" stroke="#3a2600" '
        'stroke-width="0.9" stroke-linejoin="round"/>'
        '<rect x="10.95" y="9.3" width="1.1" height="3.3" rx="0.3" fill="#2a1c00"/>'
        '<rect x="10.95" y="13.2" width="1.1" height="1.1" rx="0.3" fill="#2a1c00"/>'
    ),
    # White disc in a red ring, crossed out.
    "disabled": (
        '<circle cx="11.6" cy="11.6" r="3.9" fill="#fdfdfd" stroke="#3a0000" stroke-width="0.7"/>'
        '<circle cx="11.6" cy="11.6" r="2.95" fill="none" stroke="#e01b1b" stroke-width="1.3"/>'
        '<path d="M9.5 9.5 L13.7 13.7" stroke="#e01b1b" stroke-width="1.3" stroke-linecap="round"/>'
    ),
}


def note(fill, outline):
    return ('<g fill="{o}" stroke="{o}" stroke-width="1.6" stroke-linejoin="round">{s}</g>'
            '<g fill="{f}">{s}</g>').format(o=outline, f=fill, s="".join(NOTE_SHAPES))


def icon(fill, outline, badge):
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16" viewBox="0 0 16 16">\n'
            "{}\n{}\n</svg>\n").format(note(fill, outline), BADGES[badge])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "res", "icons")
    os.makedirs(out, exist_ok=True)
    for name, fill, outline, ids in COLOURS:
        for kind, resource in zip(("normal", "caching", "disabled"), ids):
            path = os.path.join(out, "%d-%s-%s.svg" % (resource, name, kind))
            with open(path, "w", encoding="utf-8") as f:
                f.write(icon(fill, outline, kind))


if __name__ == "__main__":
    main()
