#include "inputpanelcontext.h"

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"
#include "installerviewmanager.h"
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

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QRect>
#include <QWidget>

namespace {

const int pressAndHoldMilliseconds = 800;

template <class Window>
void deleteWindow(Window*& window)
{
    delete window;
    window = nullptr;
}

} // namespace

InputPanelContext::InputPanelContext(InstallerViewManager* viewManager)
    : QObject(nullptr)
    , inputPanel(nullptr)
    , inputPanelShift(nullptr)
    , inputPanelNumber(nullptr)
    , keyBarA(nullptr)
    , keyBarE(nullptr)
    , keyBarI(nullptr)
    , keyBarO(nullptr)
    , keyBarU(nullptr)
    , keyBarASmall(nullptr)
    , keyBarESmall(nullptr)
    , keyBarISmall(nullptr)
    , keyBarOSmall(nullptr)
    , keyBarUSmall(nullptr)
    , viewManager(viewManager)
    , shiftActive(false)
    , numberActive(false)
    , keyBarVisible(false)
    , pressedChar(QChar(0))
    , keyBarVisibleAtPress(false)
{
    if (viewManager)
        viewManager->setPasswordAccepted(false);

    connect(&pressAndHoldTimer, &QTimer::timeout, this, &InputPanelContext::onPressAndHoldTimeout);
    pressAndHoldTimer.setInterval(pressAndHoldMilliseconds);
    pressAndHoldTimer.setSingleShot(true);
    pressAndHoldTimer.stop();

    inputPanel = new InputPanel();
    inputPanelShift = new InputPanelShift();
    inputPanelNumber = new InputPanelNumber();
    keyBarA = new KeyBar_A();
    keyBarE = new KeyBar_E();
    keyBarI = new KeyBar_I();
    keyBarO = new KeyBar_O();
    keyBarU = new KeyBar_U();
    keyBarASmall = new KeyBar_A_small();
    keyBarESmall = new KeyBar_E_small();
    keyBarISmall = new KeyBar_I_small();
    keyBarOSmall = new KeyBar_O_small();
    keyBarUSmall = new KeyBar_U_small();

    connect(inputPanel, &InputPanel::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(inputPanel, &InputPanel::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(inputPanel, &InputPanel::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(inputPanel, &InputPanel::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(inputPanel, &InputPanel::notifyOutsidePressed, this, &InputPanelContext::onOutsidePressed);
    connect(inputPanel, &InputPanel::notifyBackspacePressed, this, &InputPanelContext::onBackspacePressed);
    connect(inputPanel, &InputPanel::notifyShiftPressed, this, &InputPanelContext::onShiftPressed);
    connect(inputPanel, &InputPanel::notifyNumberPressed, this, &InputPanelContext::onNumberPressed);
    connect(inputPanel, &InputPanel::notifyEnterPressed, this, &InputPanelContext::onEnterPressed);
    connect(inputPanel, &InputPanel::notifyCancelPressed, this, &InputPanelContext::onCancelPressed);

    connect(inputPanelShift, &InputPanelShift::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(inputPanelShift, &InputPanelShift::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(inputPanelShift, &InputPanelShift::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(inputPanelShift, &InputPanelShift::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(inputPanelShift, &InputPanelShift::notifyOutsidePressed, this, &InputPanelContext::onOutsidePressed);
    connect(inputPanelShift, &InputPanelShift::notifyBackspacePressed, this, &InputPanelContext::onBackspacePressed);
    connect(inputPanelShift, &InputPanelShift::notifyUnShiftPressed, this, &InputPanelContext::onUnShiftPressed);
    connect(inputPanelShift, &InputPanelShift::notifyNumberPressed, this, &InputPanelContext::onNumberPressed);
    connect(inputPanelShift, &InputPanelShift::notifyEnterPressed, this, &InputPanelContext::onEnterPressed);
    connect(inputPanelShift, &InputPanelShift::notifyCancelPressed, this, &InputPanelContext::onCancelPressed);

    connect(inputPanelNumber, &InputPanelNumber::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(inputPanelNumber, &InputPanelNumber::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(inputPanelNumber, &InputPanelNumber::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(inputPanelNumber, &InputPanelNumber::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(inputPanelNumber, &InputPanelNumber::notifyOutsidePressed, this, &InputPanelContext::onOutsidePressed);
    connect(inputPanelNumber, &InputPanelNumber::notifyBackspacePressed, this, &InputPanelContext::onBackspacePressed);
    connect(inputPanelNumber, &InputPanelNumber::notifyAlphaPressed, this, &InputPanelContext::onAlphaPressed);
    connect(inputPanelNumber, &InputPanelNumber::notifyEnterPressed, this, &InputPanelContext::onEnterPressed);
    connect(inputPanelNumber, &InputPanelNumber::notifyCancelPressed, this, &InputPanelContext::onCancelPressed);

    connect(keyBarA, &KeyBar_A::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarE, &KeyBar_E::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarI, &KeyBar_I::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarO, &KeyBar_O::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarU, &KeyBar_U::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarASmall, &KeyBar_A_small::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarESmall, &KeyBar_E_small::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarISmall, &KeyBar_I_small::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarOSmall, &KeyBar_O_small::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(keyBarUSmall, &KeyBar_U_small::characterGenerated, this, &InputPanelContext::sendCharacter);

    if (viewManager) {
        connect(viewManager, &InstallerViewManager::notifyShowInputPanel, this, &InputPanelContext::onShowInputPanel);
        connect(viewManager, &InstallerViewManager::notifyKeyboardEnter, this, &InputPanelContext::onEnterPressed);
    }

    // The application object owns this context but destroys its children only
    // after its own widget machinery is gone, too late for windows. So they
    // go when the event loop ends, while the application is whole.
    if (QCoreApplication* application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &InputPanelContext::onAboutToQuit);
}

InputPanelContext::~InputPanelContext()
{
    deleteWindows();
}

void InputPanelContext::onAboutToQuit()
{
    pressAndHoldTimer.stop();
    if (viewManager)
        disconnect(viewManager, nullptr, this, nullptr);
    deleteWindows();
}

// In member order: the three panels, the upper-case bars, the lower-case bars.
// Afterwards the context is inert: the filter passes everything on.
void InputPanelContext::deleteWindows()
{
    deleteWindow(inputPanel);
    deleteWindow(inputPanelShift);
    deleteWindow(inputPanelNumber);
    deleteWindow(keyBarA);
    deleteWindow(keyBarE);
    deleteWindow(keyBarI);
    deleteWindow(keyBarO);
    deleteWindow(keyBarU);
    deleteWindow(keyBarASmall);
    deleteWindow(keyBarESmall);
    deleteWindow(keyBarISmall);
    deleteWindow(keyBarOSmall);
    deleteWindow(keyBarUSmall);
}

QString InputPanelContext::identifierName()
{
    return QStringLiteral("InputPanelContext");
}

QString InputPanelContext::language()
{
    return QStringLiteral("en_US");
}

void InputPanelContext::reset()
{
}

bool InputPanelContext::isComposing() const
{
    return false;
}

void InputPanelContext::setPressAndHoldInterval(int milliseconds)
{
    pressAndHoldTimer.setInterval(milliseconds);
}

QWidget* InputPanelContext::focusWidget() const
{
    return QApplication::focusWidget();
}

bool InputPanelContext::filterEvent(const QEvent* event)
{
    if (!inputPanel)
        return false;
    switch (event->type()) {
    case QEvent::RequestSoftwareInputPanel: {
        if (focusWidget() && viewManager) {
            if (QLineEdit* field = viewManager->passwordLineEdit())
                field->clear();
        }
        if (viewManager)
            viewManager->setPasswordAccepted(false);
        shiftActive = false;
        numberActive = false;
        inputPanelShift->hide();
        inputPanelNumber->hide();
        inputPanel->show();
        positionPanels();
        return true;
    }
    case QEvent::CloseSoftwareInputPanel:
        // A hold begun on the hidden panel must not open its bar later.
        pressAndHoldTimer.stop();
        inputPanel->hide();
        if (!inputPanelShift->isVisible() && !inputPanelNumber->isVisible())
            closeKeyBar();
        return true;
    default:
        return false;
    }
}

// Sees every event of the application, so it only looks at two event types
// and never consumes anything: the release and the focus change still reach
// their widgets as they would without a keyboard.
bool InputPanelContext::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonRelease: {
        if (!watched->isWidgetType())
            break;
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            break;
        QWidget* widget = static_cast<QWidget*>(watched);
        if (widget != focusWidget() || !widget->testAttribute(Qt::WA_InputMethodEnabled))
            break;
        QEvent request(QEvent::RequestSoftwareInputPanel);
        filterEvent(&request);
        break;
    }
    case QEvent::FocusOut: {
        // The new focus widget is already current when the old one hears FocusOut.
        if (!watched->isWidgetType())
            break;
        QWidget* widget = static_cast<QWidget*>(watched);
        QWidget* newFocus = focusWidget();
        if (!newFocus || newFocus == widget)
            break;
        if (!widget->testAttribute(Qt::WA_InputMethodEnabled)
            || newFocus->testAttribute(Qt::WA_InputMethodEnabled))
            break;
        QEvent request(QEvent::CloseSoftwareInputPanel);
        filterEvent(&request);
        break;
    }
    default:
        break;
    }
    return false;
}

void InputPanelContext::sendCharacter(QChar character)
{
    QPointer<QWidget> widget(focusWidget());
    if (!widget)
        return;

    // The release of a long press only opened the accent bar; it types nothing.
    if (hasKeyBar(character) && keyBarVisible && pressedChar == character) {
        if (!keyBarVisibleAtPress || !pressAndHoldTimer.isActive()) {
            pressedChar = QChar(0);
            return;
        }
    }

    pressAndHoldTimer.stop();
    hideKeyBars();
    keyBarVisible = false;

    const int key = character.unicode();
    QKeyEvent withText(QEvent::KeyPress, key, Qt::NoModifier, QString(character), false, 1);
    QCoreApplication::sendEvent(widget, &withText);
    if (!widget)
        return;
    // A second press without text, never a release: a release would make
    // Qt ask for the input panel again.
    QKeyEvent withoutText(QEvent::KeyPress, key, Qt::NoModifier, QString(), false, 1);
    QCoreApplication::sendEvent(widget, &withoutText);
}

void InputPanelContext::onHideEvent()
{
}

void InputPanelContext::onCloseEvent()
{
}

void InputPanelContext::onShowInputPanel()
{
    shiftActive = false;
    numberActive = false;
    showCurrentPanel();
}

void InputPanelContext::onBackspacePressed()
{
    if (!beginSpecialKey() || !viewManager)
        return;
    if (QLineEdit* field = viewManager->passwordLineEdit())
        field->backspace();
}

void InputPanelContext::onShiftPressed()
{
    if (!beginSpecialKey() || numberActive)
        return;
    shiftActive = true;
    showCurrentPanel();
}

void InputPanelContext::onUnShiftPressed()
{
    if (!beginSpecialKey() || numberActive)
        return;
    shiftActive = false;
    showCurrentPanel();
}

void InputPanelContext::onNumberPressed()
{
    if (!beginSpecialKey())
        return;
    numberActive = true;
    showCurrentPanel();
}

void InputPanelContext::onAlphaPressed()
{
    // shiftActive survived the number panel: back to the case in use before.
    if (!beginSpecialKey())
        return;
    numberActive = false;
    showCurrentPanel();
}

void InputPanelContext::onEnterPressed()
{
    // Without an open prompt there is no typed password to compare, and an
    // empty text must not pass for an empty stored one.
    if (!beginSpecialKey() || !viewManager)
        return;
    QLineEdit* field = viewManager->passwordLineEdit();
    if (!field)
        return;
    if (viewManager->enteredPassword() == viewManager->storedPassword()) {
        hideAllPanels();
        viewManager->setPasswordAccepted(true);
    } else {
        field->clear();
    }
}

void InputPanelContext::onCancelPressed()
{
    if (!beginSpecialKey())
        return;
    hideAllPanels();
    if (viewManager)
        viewManager->setPasswordCancelled();
}

// Every special key stops a pending hold, acts only for a focused field, and
// closes an open accent bar first.
bool InputPanelContext::beginSpecialKey()
{
    // A vowel pressed and slid off keeps the timer running; whatever the key
    // does next (another panel, the prompt closing) its bar must not follow.
    pressAndHoldTimer.stop();
    if (!focusWidget())
        return false;
    closeKeyBar();
    return true;
}

// Hides the panels that are not current before the current one shows, then places it.
void InputPanelContext::showCurrentPanel()
{
    QWidget* const panels[] = {inputPanelNumber, inputPanelShift, inputPanel};
    QWidget* const current = numberActive ? panels[0] : shiftActive ? panels[1] : panels[2];
    for (QWidget* panel : panels) {
        if (panel != current)
            panel->hide();
    }
    current->show();
    positionPanels();
}

void InputPanelContext::onKeyPressed(QChar c)
{
    keyBarVisibleAtPress = keyBarVisible;
    pressedChar = c;
    pressAndHoldTimer.start();
}

void InputPanelContext::onOutsidePressed()
{
    closeKeyBar();
}

void InputPanelContext::onPressAndHoldTimeout()
{
    keyBarVisible = true;
    pressAndHoldTimer.stop();
    if (!focusWidget())
        return;
    hideKeyBars();

    QWidget* bar = nullptr;
    switch (pressedChar.unicode()) {
    case 0x0041: bar = keyBarA; break;
    case 0x0045: bar = keyBarE; break;
    case 0x0049: bar = keyBarI; break;
    case 0x004F: bar = keyBarO; break;
    case 0x0055: bar = keyBarU; break;
    case 0x0061: bar = keyBarASmall; break;
    case 0x0065: bar = keyBarESmall; break;
    case 0x0069: bar = keyBarISmall; break;
    case 0x006F: bar = keyBarOSmall; break;
    case 0x0075: bar = keyBarUSmall; break;
    default: break;
    }
    // A bar belongs over the letter panel of its case: never over the number
    // panel, nor where no panel is left.
    QWidget* panel = pressedChar.isUpper() ? static_cast<QWidget*>(inputPanel) : static_cast<QWidget*>(inputPanelShift);
    if (bar && panel->isVisible())
        bar->setVisible(true);
}

// Panels and bars are top-level windows, so their positions are screen
// positions: the panel starts one free pixel row below the field, and the
// accent bars of the current letter case share one corner further down.
void InputPanelContext::positionPanels()
{
    QWidget* widget = focusWidget();
    if (!widget)
        return;
    const QRect area = widget->rect();
    const int left = area.left();
    const int bottom = area.bottom();

    const QPoint panelPoint = widget->mapToGlobal(QPoint(left, bottom + 2));
    if (numberActive)
        inputPanelNumber->move(panelPoint);
    else if (shiftActive)
        inputPanelShift->move(panelPoint);
    else
        inputPanel->move(panelPoint);

    const QPoint barPoint = widget->mapToGlobal(QPoint(left - 10, bottom + 290));
    if (numberActive)
        return;
    if (shiftActive) {
        keyBarASmall->move(barPoint);
        keyBarESmall->move(barPoint);
        keyBarISmall->move(barPoint);
        keyBarOSmall->move(barPoint);
        keyBarUSmall->move(barPoint);
    } else {
        keyBarA->move(barPoint);
        keyBarE->move(barPoint);
        keyBarI->move(barPoint);
        keyBarO->move(barPoint);
        keyBarU->move(barPoint);
    }
}

bool InputPanelContext::hasKeyBar(QChar c)
{
    const QChar lower = c.toLower();
    return lower == QLatin1Char('a') || lower == QLatin1Char('e') || lower == QLatin1Char('i')
        || lower == QLatin1Char('o') || lower == QLatin1Char('u');
}

void InputPanelContext::hideKeyBars()
{
    keyBarA->setVisible(false);
    keyBarE->setVisible(false);
    keyBarI->setVisible(false);
    keyBarO->setVisible(false);
    keyBarU->setVisible(false);
    keyBarASmall->setVisible(false);
    keyBarESmall->setVisible(false);
    keyBarISmall->setVisible(false);
    keyBarOSmall->setVisible(false);
    keyBarUSmall->setVisible(false);
}

bool InputPanelContext::closeKeyBar()
{
    if (!keyBarVisible)
        return false;
    keyBarVisible = false;
    hideKeyBars();
    return true;
}

void InputPanelContext::hideAllPanels()
{
    pressAndHoldTimer.stop();
    keyBarVisible = false;
    hideKeyBars();
    inputPanel->hide();
    inputPanelShift->hide();
    inputPanelNumber->hide();
}
