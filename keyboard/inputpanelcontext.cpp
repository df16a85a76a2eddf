#include "inputpanelcontext.h"

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"
#include "ipasswordprompt.h"
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

}  // namespace

InputPanelContext::InputPanelContext(IPasswordPrompt* prompt)
    : QObject(nullptr)
    , prompt(prompt)
{
    if (prompt)
        prompt->setPasswordAccepted(false);

    connect(&pressAndHoldTimer, &QTimer::timeout, this, &InputPanelContext::onPressAndHoldTimeout);
    pressAndHoldTimer.setInterval(pressAndHoldMilliseconds);
    pressAndHoldTimer.setSingleShot(true);
    pressAndHoldTimer.stop();

    createWindows();
    connectWindows();

    if (prompt) {
        connect(prompt, &IPasswordPrompt::notifyShowInputPanel, this, &InputPanelContext::onShowInputPanel);
        connect(prompt, &IPasswordPrompt::notifyKeyboardEnter, this, &InputPanelContext::onEnterPressed);
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

template <class Panel>
void InputPanelContext::addPanel(Panel*& member, std::initializer_list<OwnKey<Panel>> ownKeys)
{
    Panel* const panel = new Panel();
    member = panel;
    const std::vector<OwnKey<Panel>> keys(ownKeys);
    const auto connectOwnKeys = [this, panel, keys] {
        for (const OwnKey<Panel>& key : keys)
            connect(panel, key.first, this, key.second);
    };
    windows.push_back({panel, panel, QChar(), connectOwnKeys, [&member] {
                           delete member;
                           member = nullptr;
                       }});
}

template <class Bar>
void InputPanelContext::addKeyBar(Bar*& member, QChar vowel)
{
    member = new Bar();
    windows.push_back({member, nullptr, vowel, nullptr, [&member] {
                           delete member;
                           member = nullptr;
                       }});
}

// The one list of windows: a new window needs its member and a line here,
// and is then connected, placed, hidden and deleted with the others.
void InputPanelContext::createWindows()
{
    addPanel(inputPanel,
             {{&InputPanel::notifyShiftPressed, &InputPanelContext::onShiftPressed},
              {&InputPanel::notifyNumberPressed, &InputPanelContext::onNumberPressed}});
    addPanel(inputPanelShift,
             {{&InputPanelShift::notifyUnShiftPressed, &InputPanelContext::onUnShiftPressed},
              {&InputPanelShift::notifyNumberPressed, &InputPanelContext::onNumberPressed}});
    addPanel(inputPanelNumber, {{&InputPanelNumber::notifyAlphaPressed, &InputPanelContext::onAlphaPressed}});
    addKeyBar(keyBarA, u'A');
    addKeyBar(keyBarE, u'E');
    addKeyBar(keyBarI, u'I');
    addKeyBar(keyBarO, u'O');
    addKeyBar(keyBarU, u'U');
    addKeyBar(keyBarASmall, u'a');
    addKeyBar(keyBarESmall, u'e');
    addKeyBar(keyBarISmall, u'i');
    addKeyBar(keyBarOSmall, u'o');
    addKeyBar(keyBarUSmall, u'u');
}

// Every panel's keys before any bar's, each panel's in the order of its keys.
void InputPanelContext::connectWindows()
{
    for (const OwnedWindow& entry : windows) {
        if (entry.panel)
            connectPanel(entry);
    }
    for (const OwnedWindow& entry : windows) {
        if (!entry.panel)
            connect(entry.window, &KeyWindow::characterGenerated, this, &InputPanelContext::sendCharacter);
    }
}

void InputPanelContext::connectPanel(const OwnedWindow& entry)
{
    KeyPanel* const panel = entry.panel;
    connect(panel, &KeyWindow::characterGenerated, this, &InputPanelContext::sendCharacter);
    connect(panel, &KeyPanel::notifyHideEvent, this, &InputPanelContext::onHideEvent);
    connect(panel, &KeyPanel::notifyCloseEvent, this, &InputPanelContext::onCloseEvent);
    connect(panel, &KeyPanel::notifyKeyPressed, this, &InputPanelContext::onKeyPressed);
    connect(panel, &KeyPanel::notifyOutsidePressed, this, &InputPanelContext::onOutsidePressed);
    connect(panel, &KeyPanel::notifyBackspacePressed, this, &InputPanelContext::onBackspacePressed);
    entry.connectOwnKeys();
    connect(panel, &KeyPanel::notifyEnterPressed, this, &InputPanelContext::onEnterPressed);
    connect(panel, &KeyPanel::notifyCancelPressed, this, &InputPanelContext::onCancelPressed);
}

void InputPanelContext::onAboutToQuit()
{
    pressAndHoldTimer.stop();
    if (prompt)
        disconnect(prompt, nullptr, this, nullptr);
    deleteWindows();
}

// In member order: the three panels, the upper-case bars, the lower-case bars.
// Afterwards the context is inert: the filter passes everything on.
void InputPanelContext::deleteWindows()
{
    // Each window leaves the table before it goes, so whatever runs while it
    // is deleted finds live windows only.
    while (!windows.empty()) {
        const std::function<void()> destroy = windows.front().destroy;
        windows.erase(windows.begin());
        destroy();
    }
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
        if (focusWidget() && prompt) {
            if (QLineEdit* field = prompt->passwordLineEdit())
                field->clear();
        }
        if (prompt)
            prompt->setPasswordAccepted(false);
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
    if (!beginSpecialKey() || !prompt)
        return;
    if (QLineEdit* field = prompt->passwordLineEdit())
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
    if (!beginSpecialKey() || !prompt)
        return;
    QLineEdit* field = prompt->passwordLineEdit();
    if (!field)
        return;
    if (prompt->matchesPassword(field->text())) {
        hideAllPanels();
        prompt->setPasswordAccepted(true);
    } else {
        field->clear();
    }
}

void InputPanelContext::onCancelPressed()
{
    if (!beginSpecialKey())
        return;
    hideAllPanels();
    if (prompt)
        prompt->setPasswordCancelled();
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
    QWidget* const current = currentPanel();
    for (QWidget* panel : panels) {
        if (panel != current)
            panel->hide();
    }
    current->show();
    positionPanels();
}

QWidget* InputPanelContext::currentPanel() const
{
    if (numberActive)
        return inputPanelNumber;
    if (shiftActive)
        return inputPanelShift;
    return inputPanel;
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

    QWidget* const bar = keyBarOf(pressedChar);
    // A bar belongs over the letter panel of its case: never over the number
    // panel, nor where no panel is left.
    QWidget* panel =
        pressedChar.isUpper() ? static_cast<QWidget*>(inputPanel) : static_cast<QWidget*>(inputPanelShift);
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

    currentPanel()->move(widget->mapToGlobal(QPoint(left, bottom + 2)));

    if (numberActive)
        return;
    const QPoint barPoint = widget->mapToGlobal(QPoint(left - 10, bottom + 290));
    for (const OwnedWindow& entry : windows) {
        if (!entry.panel && entry.vowel.isLower() == shiftActive)
            entry.window->move(barPoint);
    }
}

// The bar that holding exactly this vowel opens, or none.
KeyWindow* InputPanelContext::keyBarOf(QChar vowel) const
{
    for (const OwnedWindow& entry : windows) {
        if (!entry.panel && entry.vowel == vowel)
            return entry.window;
    }
    return nullptr;
}

bool InputPanelContext::hasKeyBar(QChar c)
{
    return keyBarOf(c.toLower()) != nullptr;
}

void InputPanelContext::hideKeyBars()
{
    for (const OwnedWindow& entry : windows) {
        if (!entry.panel)
            entry.window->setVisible(false);
    }
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
    for (const OwnedWindow& entry : windows) {
        if (entry.panel)
            entry.panel->hide();
    }
}
