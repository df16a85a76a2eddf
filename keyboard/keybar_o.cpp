#include "keybar_o.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_O_Form> characterKeys[] = {
    {&Ui::KeyBar_O_Form::panelButton_O_2, 0x00D6},  // Ö diaeresis
    {&Ui::KeyBar_O_Form::panelButton_O_3, 0x00D4},  // Ô circumflex
    {&Ui::KeyBar_O_Form::panelButton_O_4, 0x00D3},  // Ó acute
    {&Ui::KeyBar_O_Form::panelButton_O_5, 0x00D2},  // Ò grave
    {&Ui::KeyBar_O_Form::panelButton_O_6, 0x00D5},  // Õ tilde
};

}  // namespace

KeyBar_O::KeyBar_O()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_O::~KeyBar_O() = default;
