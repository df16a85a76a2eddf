#!/usr/bin/env python3
"""Writes the Designer forms of the on-screen keyboard (keyboard/*.ui).

The panels have 35 keys each and the accent bars share one grid, so the forms
are generated from the tables below instead of being drawn by hand. The
generated .ui files are committed; the build never runs this script.

Usage: scripts/gen-keyboard-forms.py [keyboard-dir]
"""

import os
import sys
from xml.sax.saxutils import escape

CHARACTER_KEY = 50
ROW_Y = (20, 80, 140, 200)
ACTION_ROW_Y = 288


def row_x(row, index):
    """x of the index-th key in grid rows 1 to 3."""
    return (40 if row == 2 else 0) + 60 * index


def letter_keys(upper):
    """Keys of the two letter panels: (name, x, y, w, h, label, is_character)."""
    def letter(c):
        return c if upper else c.lower()

    keys = []
    for i, c in enumerate("QWERTZUIOP"):
        keys.append(("panelButton_" + c, row_x(1, i), ROW_Y[0], 50, 50, letter(c), True))
    for i, c in enumerate("ASDFGHJKL"):
        keys.append(("panelButton_" + c, row_x(2, i), ROW_Y[1], 50, 50, letter(c), True))
    keys.append(("shiftButton", 0, ROW_Y[2], 50, 50, "Shift", False))
    for i, c in enumerate("YXCVBNM"):
        keys.append(("panelButton_" + c, row_x(3, i + 1), ROW_Y[2], 50, 50, letter(c), True))
    keys.append(("backspaceButton", 480, ROW_Y[2], 110, 50, "<==", False))
    keys += bottom_rows("123")
    return keys


def bottom_rows(switch_label):
    return [
        ("numberButton", 0, ROW_Y[3], 80, 50, switch_label, False),
        ("panelButton_at", 90, ROW_Y[3], 50, 50, "@", True),
        ("panelButton_space", 150, ROW_Y[3], 320, 50, "", True),
        ("panelButton_point", 480, ROW_Y[3], 50, 50, ".", True),
        ("panelButton_comma", 540, ROW_Y[3], 50, 50, ",", True),
        ("enterButton", 480, ACTION_ROW_Y, 110, 60, "Ok", False),
        ("cancelButton", 630, ACTION_ROW_Y, 80, 60, "Cancel", False),
    ]


def number_keys():
    keys = []
    for i, c in enumerate("1234567890"):
        keys.append(("panelButton_" + c, row_x(1, i), ROW_Y[0], 50, 50, c, True))
    row2 = [("at2", "@"), ("hash", "#"), ("bracketOpen", "("), ("bracketClose", ")"),
            ("equal", "="), ("plus", "+"), ("minus", "-"), ("star", "*"), ("slash", "/")]
    for i, (name, c) in enumerate(row2):
        keys.append(("panelButton_" + name, row_x(2, i), ROW_Y[1], 50, 50, c, True))
    keys.append(("shiftButton", 0, ROW_Y[2], 50, 50, "Shift", False))
    row3 = [("exclamation", "!"), ("question", "?"), ("dollar", "$"), ("semicolon", ";"),
            ("colon", ":"), ("comma2", ","), ("point2", ".")]
    for i, (name, c) in enumerate(row3):
        keys.append(("panelButton_" + name, row_x(3, i + 1), ROW_Y[2], 50, 50, c, True))
    keys.append(("backspaceButton", 480, ROW_Y[2], 110, 50, "<==", False))
    keys += bottom_rows("ABC")
    return keys


LETTER_CONNECTIONS = [
    ("enterButton", "clicked()", "enterPressed()"),
    ("shiftButton", "clicked()", "shiftPressed()"),
    ("cancelButton", "clicked()", "cancelPressed()"),
    ("backspaceButton", "clicked()", "backspacePressed()"),
    ("panelButton_A", "pressed()", "keyPressedA()"),
    ("panelButton_E", "pressed()", "keyPressedE()"),
    ("panelButton_I", "pressed()", "keyPressedI()"),
    ("panelButton_O", "pressed()", "keyPressedO()"),
    ("panelButton_U", "pressed()", "keyPressedU()"),
    ("numberButton", "clicked()", "numberPressed()"),
]

SHIFT_CONNECTIONS = [(s, sig, "unShiftPressed()" if s == "shiftButton" else slot)
                     for s, sig, slot in LETTER_CONNECTIONS]

NUMBER_CONNECTIONS = [
    ("numberButton", "clicked()", "alphaPressed()"),
    ("enterButton", "clicked()", "enterPressed()"),
    ("cancelButton", "clicked()", "cancelPressed()"),
    ("backspaceButton", "clicked()", "backspacePressed()"),
]

# Accent position number -> x; the accents are the same in every bar.
BAR_POSITIONS = [(2, 10), (3, 70), (4, 130), (5, 190), (6, 250)]

BARS = {
    "A": "ÄÂÁÀÃ",
    "E": "ËÊÉÈ",
    "I": "ÏÎÍÌ",
    "O": "ÖÔÓÒÕ",
    "U": "ÜÛÚÙ",
}


def key_xml(name, x, y, w, h, label, is_character):
    lines = [
        '  <widget class="QPushButton" name="%s">' % name,
        '   <property name="geometry">',
        '    <rect><x>%d</x><y>%d</y><width>%d</width><height>%d</height></rect>' % (x, y, w, h),
        '   </property>',
    ]
    if is_character:
        lines += [
            '   <property name="sizePolicy">',
            '    <sizepolicy hsizetype="Minimum" vsizetype="Minimum">',
            '     <horstretch>0</horstretch>',
            '     <verstretch>0</verstretch>',
            '    </sizepolicy>',
            '   </property>',
            '   <property name="minimumSize">',
            '    <size><width>45</width><height>40</height></size>',
            '   </property>',
        ]
    lines += [
        '   <property name="font">',
        '    <font><family>Arial</family><pointsize>12</pointsize></font>',
        '   </property>',
        '   <property name="focusPolicy">',
        '    <enum>Qt::NoFocus</enum>',
        '   </property>',
        '   <property name="text">',
        '    <string>%s</string>' % escape(label),
        '   </property>',
        '   <property name="autoRepeat">',
        '    <bool>false</bool>',
        '   </property>',
        '  </widget>',
    ]
    return lines


def form_xml(form, width, height, title, keys, connections):
    lines = [
        '<?xml version="1.0" encoding="UTF-8"?>',
        '<!-- Generated by scripts/gen-keyboard-forms.py; edit the tables there. -->',
        '<ui version="4.0">',
        ' <class>%s</class>' % form,
        ' <widget class="QWidget" name="%s">' % form,
        '  <property name="geometry">',
        '   <rect><x>0</x><y>0</y><width>%d</width><height>%d</height></rect>' % (width, height),
        '  </property>',
        '  <property name="windowTitle">',
        '   <string>%s</string>' % escape(title),
        '  </property>',
    ]
    for key in keys:
        lines += key_xml(*key)
    lines += [' </widget>', ' <resources/>']
    if connections:
        lines.append(' <connections>')
        for sender, signal, slot in connections:
            lines += [
                '  <connection>',
                '   <sender>%s</sender>' % sender,
                '   <signal>%s</signal>' % signal,
                '   <receiver>%s</receiver>' % form,
                '   <slot>%s</slot>' % slot,
                '  </connection>',
            ]
        lines.append(' </connections>')
        lines.append(' <slots>')
        seen = []
        for _, _, slot in connections:
            if slot not in seen:
                seen.append(slot)
                lines.append('  <slot>%s</slot>' % slot)
        lines.append(' </slots>')
    else:
        lines.append(' <connections/>')
    lines.append('</ui>')
    return "\n".join(lines) + "\n"


def bar_forms():
    for vowel, accents in BARS.items():
        for small in (False, True):
            cls = "KeyBar_" + vowel + ("_small" if small else "")
            keys = []
            for (position, x), accent in zip(BAR_POSITIONS, accents):
                label = accent.lower() if small else accent
                keys.append(("panelButton_%s_%d" % (vowel, position), x, 10, 50, 50, label, True))
            width = 10 + 60 * len(keys)
            yield cls.lower() + "_form.ui", form_xml(cls + "_Form", width, 70, cls, keys, [])


def all_forms():
    yield "inputpanelform.ui", form_xml("InputPanelForm", 720, 400, "Input Panel",
                                        letter_keys(True), LETTER_CONNECTIONS)
    yield "inputpanelshiftform.ui", form_xml("InputPanelShiftForm", 720, 400, "Input Panel",
                                             letter_keys(False), SHIFT_CONNECTIONS)
    yield "inputpanelnumberform.ui", form_xml("InputPanelNumberForm", 720, 400, "Input Panel Number",
                                              number_keys(), NUMBER_CONNECTIONS)
    yield from bar_forms()


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "keyboard")
    for name, text in all_forms():
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write(text)
        print(name)


if __name__ == "__main__":
    main()
