#include "keybar_u_small.h"

namespace {

const KeyWindow::CharacterKey<Ui::KeyBar_U_small_Form> characterKeys[] = {
    {&Ui::KeyBar_U_small_Form::panelButton_U_2, 0x00FC},  // ü diaeresis
    {&Ui::KeyBar_U_small_Form::panelButton_U_3, 0x00FB},  // û circumflex
    {&Ui::KeyBar_U_small_Form::panelButton_U_4, 0x00FA},  // ú acute
    {&Ui::KeyBar_U_small_Form::panelButton_U_5, 0x00F9},  // ù grave
};

}  // namespace

KeyBar_U_small::KeyBar_U_small()
{
    ui.setupUi(this);
    connectCharacterKeys(ui, characterKeys);
}

KeyBar_U_small::~KeyBar_U_small() = default;
