#include "keybar_e_small.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_E_small_Form> characterKeys[] = {
    {&Ui::KeyBar_E_small_Form::panelButton_E_2, 0x00EB},  // ë diaeresis
    {&Ui::KeyBar_E_small_Form::panelButton_E_3, 0x00EA},  // ê circumflex
    {&Ui::KeyBar_E_small_Form::panelButton_E_4, 0x00E9},  // é acute
    {&Ui::KeyBar_E_small_Form::panelButton_E_5, 0x00E8},  // è grave
};

}  // namespace

KeyBar_E_small::KeyBar_E_small()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_E_small::~KeyBar_E_small() = default;
