#include "keybar_a.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_A_Form> characterKeys[] = {
    {&Ui::KeyBar_A_Form::panelButton_A_2, 0x00C4},  // Ä diaeresis
    {&Ui::KeyBar_A_Form::panelButton_A_3, 0x00C2},  // Â circumflex
    {&Ui::KeyBar_A_Form::panelButton_A_4, 0x00C1},  // Á acute
    {&Ui::KeyBar_A_Form::panelButton_A_5, 0x00C0},  // À grave
    {&Ui::KeyBar_A_Form::panelButton_A_6, 0x00C3},  // Ã tilde
};

}  // namespace

KeyBar_A::KeyBar_A()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_A::~KeyBar_A() = default;
