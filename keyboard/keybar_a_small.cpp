#include "keybar_a_small.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_A_small_Form> characterKeys[] = {
    {&Ui::KeyBar_A_small_Form::panelButton_A_2, 0x00E4},  // ä diaeresis
    {&Ui::KeyBar_A_small_Form::panelButton_A_3, 0x00E2},  // â circumflex
    {&Ui::KeyBar_A_small_Form::panelButton_A_4, 0x00E1},  // á acute
    {&Ui::KeyBar_A_small_Form::panelButton_A_5, 0x00E0},  // à grave
    {&Ui::KeyBar_A_small_Form::panelButton_A_6, 0x00E3},  // ã tilde
};

}  // namespace

KeyBar_A_small::KeyBar_A_small()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_A_small::~KeyBar_A_small() = default;
