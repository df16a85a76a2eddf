#include "keybar_e.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_E_Form> characterKeys[] = {
    {&Ui::KeyBar_E_Form::panelButton_E_2, 0x00CB},  // Ë diaeresis
    {&Ui::KeyBar_E_Form::panelButton_E_3, 0x00CA},  // Ê circumflex
    {&Ui::KeyBar_E_Form::panelButton_E_4, 0x00C9},  // É acute
    {&Ui::KeyBar_E_Form::panelButton_E_5, 0x00C8},  // È grave
};

}  // namespace

KeyBar_E::KeyBar_E()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_E::~KeyBar_E() = default;
