#include "inputpanel.h"

namespace {

using Form = Ui::InputPanelForm;

// One key a line, in the order the panel reads.
// clang-format off
const KeyWindow::CharacterKey<Form> characterKeys[] = {
    {&Form::panelButton_Q, u'Q'},
    {&Form::panelButton_W, u'W'},
    {&Form::panelButton_E, u'E'},
    {&Form::panelButton_R, u'R'},
    {&Form::panelButton_T, u'T'},
    {&Form::panelButton_Z, u'Z'},
    {&Form::panelButton_U, u'U'},
    {&Form::panelButton_I, u'I'},
    {&Form::panelButton_O, u'O'},
    {&Form::panelButton_P, u'P'},
    {&Form::panelButton_A, u'A'},
    {&Form::panelButton_S, u'S'},
    {&Form::panelButton_D, u'D'},
    {&Form::panelButton_F, u'F'},
    {&Form::panelButton_G, u'G'},
    {&Form::panelButton_H, u'H'},
    {&Form::panelButton_J, u'J'},
    {&Form::panelButton_K, u'K'},
    {&Form::panelButton_L, u'L'},
    {&Form::panelButton_Y, u'Y'},
    {&Form::panelButton_X, u'X'},
    {&Form::panelButton_C, u'C'},
    {&Form::panelButton_V, u'V'},
    {&Form::panelButton_B, u'B'},
    {&Form::panelButton_N, u'N'},
    {&Form::panelButton_M, u'M'},
    {&Form::panelButton_at, u'@'},
    {&Form::panelButton_space, u' '},
    {&Form::panelButton_point, u'.'},
    {&Form::panelButton_comma, u','},
};
// clang-format on

}  // namespace

InputPanel::InputPanel()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

InputPanel::~InputPanel() = default;

void InputPanel::shiftPressed()
{
    emit notifyShiftPressed();
}

void InputPanel::numberPressed()
{
    emit notifyNumberPressed();
}

// The vowel keys report the moment they go down, which starts press-and-hold.
void InputPanel::keyPressedA()
{
    emit notifyKeyPressed(QChar(u'A'));
}

void InputPanel::keyPressedE()
{
    emit notifyKeyPressed(QChar(u'E'));
}

void InputPanel::keyPressedI()
{
    emit notifyKeyPressed(QChar(u'I'));
}

void InputPanel::keyPressedO()
{
    emit notifyKeyPressed(QChar(u'O'));
}

void InputPanel::keyPressedU()
{
    emit notifyKeyPressed(QChar(u'U'));
}
