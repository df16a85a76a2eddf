#ifndef KEYSPECS_H
#define KEYSPECS_H

// The key tables of the three panels, typed from the layout tables
// independently of the production code, so a typo on either side shows.

#include <QPushButton>
#include <QString>
#include <QWidget>

#include <memory>

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"

namespace KeySpecs {

// A null value marks a special key.
struct KeySpec
{
    const char *name;
    int x, y, w, h;
    const char *label;
    char16_t value;
};

struct LetterKeySpec
{
    const char *name;
    int x, y, w, h;
    const char *upperLabel;
    char16_t upperValue;
    const char *lowerLabel;
    char16_t lowerValue;
};

inline const LetterKeySpec letterKeys[] = {
    {"panelButton_Q", 0, 20, 50, 50, "Q", 0x51, "q", 0x71},
    {"panelButton_W", 60, 20, 50, 50, "W", 0x57, "w", 0x77},
    {"panelButton_E", 120, 20, 50, 50, "E", 0x45, "e", 0x65},
    {"panelButton_R", 180, 20, 50, 50, "R", 0x52, "r", 0x72},
    {"panelButton_T", 240, 20, 50, 50, "T", 0x54, "t", 0x74},
    {"panelButton_Z", 300, 20, 50, 50, "Z", 0x5A, "z", 0x7A},
    {"panelButton_U", 360, 20, 50, 50, "U", 0x55, "u", 0x75},
    {"panelButton_I", 420, 20, 50, 50, "I", 0x49, "i", 0x69},
    {"panelButton_O", 480, 20, 50, 50, "O", 0x4F, "o", 0x6F},
    {"panelButton_P", 540, 20, 50, 50, "P", 0x50, "p", 0x70},
    {"panelButton_A", 40, 80, 50, 50, "A", 0x41, "a", 0x61},
    {"panelButton_S", 100, 80, 50, 50, "S", 0x53, "s", 0x73},
    {"panelButton_D", 160, 80, 50, 50, "D", 0x44, "d", 0x64},
    {"panelButton_F", 220, 80, 50, 50, "F", 0x46, "f", 0x66},
    {"panelButton_G", 280, 80, 50, 50, "G", 0x47, "g", 0x67},
    {"panelButton_H", 340, 80, 50, 50, "H", 0x48, "h", 0x68},
    {"panelButton_J", 400, 80, 50, 50, "J", 0x4A, "j", 0x6A},
    {"panelButton_K", 460, 80, 50, 50, "K", 0x4B, "k", 0x6B},
    {"panelButton_L", 520, 80, 50, 50, "L", 0x4C, "l", 0x6C},
    {"shiftButton", 0, 140, 50, 50, "Shift", 0, "Shift", 0},
    {"panelButton_Y", 60, 140, 50, 50, "Y", 0x59, "y", 0x79},
    {"panelButton_X", 120, 140, 50, 50, "X", 0x58, "x", 0x78},
    {"panelButton_C", 180, 140, 50, 50, "C", 0x43, "c", 0x63},
    {"panelButton_V", 240, 140, 50, 50, "V", 0x56, "v", 0x76},
    {"panelButton_B", 300, 140, 50, 50, "B", 0x42, "b", 0x62},
    {"panelButton_N", 360, 140, 50, 50, "N", 0x4E, "n", 0x6E},
    {"panelButton_M", 420, 140, 50, 50, "M", 0x4D, "m", 0x6D},
    {"backspaceButton", 480, 140, 110, 50, "<==", 0, "<==", 0},
    {"numberButton", 0, 200, 80, 50, "123", 0, "123", 0},
    {"panelButton_at", 90, 200, 50, 50, "@", 0x40, "@", 0x40},
    {"panelButton_space", 150, 200, 320, 50, "", 0x20, "", 0x20},
    {"panelButton_point", 480, 200, 50, 50, ".", 0x2E, ".", 0x2E},
    {"panelButton_comma", 540, 200, 50, 50, ",", 0x2C, ",", 0x2C},
    {"enterButton", 480, 288, 110, 60, "Ok", 0, "Ok", 0},
    {"cancelButton", 630, 288, 80, 60, "Cancel", 0, "Cancel", 0},
};

inline const KeySpec numberKeys[] = {
    {"panelButton_1", 0, 20, 50, 50, "1", 0x31},
    {"panelButton_2", 60, 20, 50, 50, "2", 0x32},
    {"panelButton_3", 120, 20, 50, 50, "3", 0x33},
    {"panelButton_4", 180, 20, 50, 50, "4", 0x34},
    {"panelButton_5", 240, 20, 50, 50, "5", 0x35},
    {"panelButton_6", 300, 20, 50, 50, "6", 0x36},
    {"panelButton_7", 360, 20, 50, 50, "7", 0x37},
    {"panelButton_8", 420, 20, 50, 50, "8", 0x38},
    {"panelButton_9", 480, 20, 50, 50, "9", 0x39},
    {"panelButton_0", 540, 20, 50, 50, "0", 0x30},
    {"panelButton_at2", 40, 80, 50, 50, "@", 0x40},
    {"panelButton_hash", 100, 80, 50, 50, "#", 0x23},
    {"panelButton_bracketOpen", 160, 80, 50, 50, "(", 0x28},
    {"panelButton_bracketClose", 220, 80, 50, 50, ")", 0x29},
    {"panelButton_equal", 280, 80, 50, 50, "=", 0x3D},
    {"panelButton_plus", 340, 80, 50, 50, "+", 0x2B},
    {"panelButton_minus", 400, 80, 50, 50, "-", 0x2D},
    {"panelButton_star", 460, 80, 50, 50, "*", 0x2A},
    {"panelButton_slash", 520, 80, 50, 50, "/", 0x2F},
    {"shiftButton", 0, 140, 50, 50, "Shift", 0},
    {"panelButton_exclamation", 60, 140, 50, 50, "!", 0x21},
    {"panelButton_question", 120, 140, 50, 50, "?", 0x3F},
    {"panelButton_dollar", 180, 140, 50, 50, "$", 0x24},
    {"panelButton_semicolon", 240, 140, 50, 50, ";", 0x3B},
    {"panelButton_colon", 300, 140, 50, 50, ":", 0x3A},
    {"panelButton_comma2", 360, 140, 50, 50, ",", 0x2C},
    {"panelButton_point2", 420, 140, 50, 50, ".", 0x2E},
    {"backspaceButton", 480, 140, 110, 50, "<==", 0},
    {"numberButton", 0, 200, 80, 50, "ABC", 0},
    {"panelButton_at", 90, 200, 50, 50, "@", 0x40},
    {"panelButton_space", 150, 200, 320, 50, "", 0x20},
    {"panelButton_point", 480, 200, 50, 50, ".", 0x2E},
    {"panelButton_comma", 540, 200, 50, 50, ",", 0x2C},
    {"enterButton", 480, 288, 110, 60, "Ok", 0},
    {"cancelButton", 630, 288, 80, 60, "Cancel", 0},
};

inline std::unique_ptr<QWidget> createPanel(const QString &panel)
{
    if (panel == QLatin1String("InputPanel"))
        return std::make_unique<InputPanel>();
    if (panel == QLatin1String("InputPanelShift"))
        return std::make_unique<InputPanelShift>();
    return std::make_unique<InputPanelNumber>();
}

const char *const panelNames[] = {"InputPanel", "InputPanelShift", "InputPanelNumber"};

} // namespace KeySpecs

#endif // KEYSPECS_H
