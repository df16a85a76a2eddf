#include "keyboardcharacters.h"

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"
#include "keybar_a.h"
#include "keybar_a_small.h"
#include "keybar_e.h"
#include "keybar_e_small.h"
#include "keybar_i.h"
#include "keybar_i_small.h"
#include "keybar_o.h"
#include "keybar_o_small.h"
#include "keybar_u.h"
#include "keybar_u_small.h"

#include <QPushButton>
#include <QVariant>

namespace KeyboardCharacters {

QString typeable()
{
    InputPanel upper;
    InputPanelShift lower;
    InputPanelNumber number;
    KeyBar_A a;
    KeyBar_E e;
    KeyBar_I i;
    KeyBar_O o;
    KeyBar_U u;
    KeyBar_A_small aSmall;
    KeyBar_E_small eSmall;
    KeyBar_I_small iSmall;
    KeyBar_O_small oSmall;
    KeyBar_U_small uSmall;
    const QWidget* const windows[] = {&upper, &lower,  &number, &a,      &e,      &i,     &o,
                                      &u,     &aSmall, &eSmall, &iSmall, &oSmall, &uSmall};

    // Every character key carries the character it types as "buttonValue".
    QString characters;
    for (const QWidget* window : windows) {
        const QList<QPushButton*> keys = window->findChildren<QPushButton*>();
        for (const QPushButton* key : keys) {
            const QVariant value = key->property("buttonValue");
            if (value.isValid() && !characters.contains(value.toChar()))
                characters += value.toChar();
        }
    }
    return characters;
}

}  // namespace KeyboardCharacters
