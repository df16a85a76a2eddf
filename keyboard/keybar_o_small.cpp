#include "keybar_o_small.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_O_small_Form> characterKeys[] = {
    {&Ui::KeyBar_O_small_Form::panelButton_O_2, 0x00F6},  // ö diaeresis
    {&Ui::KeyBar_O_small_Form::panelButton_O_3, 0x00F4},  // ô circumflex
    {&Ui::KeyBar_O_small_Form::panelButton_O_4, 0x00F3},  // ó acute
    {&Ui::KeyBar_O_small_Form::panelButton_O_5, 0x00F2},  // ò grave
    {&Ui::KeyBar_O_small_Form::panelButton_O_6, 0x00F5},  // õ tilde
};

}  // namespace

KeyBar_O_small::KeyBar_O_small()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_O_small::~KeyBar_O_small() = default;
