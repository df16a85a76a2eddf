#include "inputpanelshift.h"

namespace {

using Form = Ui::InputPanelShiftForm;

// One key a line, in the order the panel reads.
// clang-format off
const KeyWindow::CharacterKey<Form> characterKeys[] = {
    {&Form::panelButton_Q, u'q'},
    {&Form::panelButton_W, u'w'},
    {&Form::panelButton_E, u'e'},
    {&Form::panelButton_R, u'r'},
    {&Form::panelButton_T, u't'},
    {&Form::panelButton_Z, u'z'},
    {&Form::panelButton_U, u'u'},
    {&Form::panelButton_I, u'i'},
    {&Form::panelButton_O, u'o'},
    {&Form::panelButton_P, u'p'},
    {&Form::panelButton_A, u'a'},
    {&Form::panelButton_S, u's'},
    {&Form::panelButton_D, u'd'},
    {&Form::panelButton_F, u'f'},
    {&Form::panelButton_G, u'g'},
    {&Form::panelButton_H, u'h'},
    {&Form::panelButton_J, u'j'},
    {&Form::panelButton_K, u'k'},
    {&Form::panelButton_L, u'l'},
    {&Form::panelButton_Y, u'y'},
    {&Form::panelButton_X, u'x'},
    {&Form::panelButton_C, u'c'},
    {&Form::panelButton_V, u'v'},
    {&Form::panelButton_B, u'b'},
    {&Form::panelButton_N, u'n'},
    {&Form::panelButton_M, u'm'},
    {&Form::panelButton_at, u'@'},
    {&Form::panelButton_space, u' '},
    {&Form::panelButton_point, u'.'},
    {&Form::panelButton_comma, u','},
};
// clang-format on

}  // namespace

InputPanelShift::InputPanelShift()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

InputPanelShift::~InputPanelShift() = default;

void InputPanelShift::unShiftPressed()
{
    emit notifyUnShiftPressed();
}

void InputPanelShift::numberPressed()
{
    emit notifyNumberPressed();
}

// The vowel keys report the moment they go down, which starts press-and-hold.
void InputPanelShift::keyPressedA()
{
    emit notifyKeyPressed(QChar(u'a'));
}

void InputPanelShift::keyPressedE()
{
    emit notifyKeyPressed(QChar(u'e'));
}

void InputPanelShift::keyPressedI()
{
    emit notifyKeyPressed(QChar(u'i'));
}

void InputPanelShift::keyPressedO()
{
    emit notifyKeyPressed(QChar(u'o'));
}

void InputPanelShift::keyPressedU()
{
    emit notifyKeyPressed(QChar(u'u'));
}
