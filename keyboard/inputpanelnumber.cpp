#include "inputpanelnumber.h"

namespace {

using Form = Ui::InputPanelNumberForm;

// "@", "," and "." appear twice: in the symbol rows and where the letter
// panels have them.
// One key a line, in the order the panel reads.
// clang-format off
const KeyWindow::CharacterKey<Form> characterKeys[] = {
    {&Form::panelButton_1, u'1'},
    {&Form::panelButton_2, u'2'},
    {&Form::panelButton_3, u'3'},
    {&Form::panelButton_4, u'4'},
    {&Form::panelButton_5, u'5'},
    {&Form::panelButton_6, u'6'},
    {&Form::panelButton_7, u'7'},
    {&Form::panelButton_8, u'8'},
    {&Form::panelButton_9, u'9'},
    {&Form::panelButton_0, u'0'},
    {&Form::panelButton_at2, u'@'},
    {&Form::panelButton_hash, u'#'},
    {&Form::panelButton_bracketOpen, u'('},
    {&Form::panelButton_bracketClose, u')'},
    {&Form::panelButton_equal, u'='},
    {&Form::panelButton_plus, u'+'},
    {&Form::panelButton_minus, u'-'},
    {&Form::panelButton_star, u'*'},
    {&Form::panelButton_slash, u'/'},
    {&Form::panelButton_exclamation, u'!'},
    {&Form::panelButton_question, u'?'},
    {&Form::panelButton_dollar, u'$'},
    {&Form::panelButton_semicolon, u';'},
    {&Form::panelButton_colon, u':'},
    {&Form::panelButton_comma2, u','},
    {&Form::panelButton_point2, u'.'},
    {&Form::panelButton_at, u'@'},
    {&Form::panelButton_space, u' '},
    {&Form::panelButton_point, u'.'},
    {&Form::panelButton_comma, u','},
};
// clang-format on

}  // namespace

InputPanelNumber::InputPanelNumber()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

InputPanelNumber::~InputPanelNumber() = default;

void InputPanelNumber::alphaPressed()
{
    emit notifyAlphaPressed();
}
