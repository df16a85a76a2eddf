#ifndef INPUTPANELCONTEXT_H
#define INPUTPANELCONTEXT_H

#include <QChar>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

class IPasswordPrompt;
class KeyPanel;
class KeyWindow;
class InputPanel;
class InputPanelShift;
class InputPanelNumber;
class KeyBar_A;
class KeyBar_E;
class KeyBar_I;
class KeyBar_O;
class KeyBar_U;
class KeyBar_A_small;
class KeyBar_E_small;
class KeyBar_I_small;
class KeyBar_O_small;
class KeyBar_U_small;
class QEvent;
class QWidget;

// The application's input context: shows the touch keyboard under the
// focused text field, turns the characters of the panels and accent bars
// into key events for that field, and runs the password prompt's special
// keys against the prompt.
//
// Qt 5 and 6 have no pluggable input context, so the application owns this
// object and installs it as its event filter; the filter turns a tap on a
// text field and a focus move away from it into the two software input
// panel requests that filterEvent() handles.
class InputPanelContext : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(InputPanelContext)

public:
    explicit InputPanelContext(IPasswordPrompt* prompt);
    ~InputPanelContext() override;

    QString identifierName();
    QString language();
    void reset();
    bool isComposing() const;
    bool filterEvent(const QEvent* event);

    bool eventFilter(QObject* watched, QEvent* event) override;

    // Test seam: the press-and-hold interval. Production code never changes it.
    void setPressAndHoldInterval(int milliseconds);

private slots:
    void sendCharacter(QChar character);
    void onHideEvent();
    void onCloseEvent();
    void onShowInputPanel();
    void onBackspacePressed();
    void onShiftPressed();
    void onUnShiftPressed();
    void onNumberPressed();
    void onAlphaPressed();
    void onEnterPressed();
    void onCancelPressed();
    void onKeyPressed(QChar c);
    void onOutsidePressed();
    void onPressAndHoldTimeout();
    void onAboutToQuit();

private:
    // A panel's own special key: its signal and the slot that handles it.
    template <class Panel>
    using OwnKey = std::pair<void (Panel::*)(), void (InputPanelContext::*)()>;

    // One window the context owns. The panels share their keys through
    // KeyPanel, all windows their characters through KeyWindow.
    struct OwnedWindow
    {
        KeyWindow* window;
        KeyPanel* panel;                       // null for an accent bar
        QChar vowel;                           // the vowel whose hold opens the bar; null for a panel
        std::function<void()> connectOwnKeys;  // the keys only this panel has
        std::function<void()> destroy;         // deletes the window and clears its member
    };

    template <class Panel>
    void addPanel(Panel*& member, std::initializer_list<OwnKey<Panel>> ownKeys);
    template <class Bar>
    void addKeyBar(Bar*& member, QChar vowel);
    void createWindows();
    void connectWindows();
    void connectPanel(const OwnedWindow& entry);

    QWidget* focusWidget() const;
    QWidget* currentPanel() const;
    void positionPanels();
    KeyWindow* keyBarOf(QChar vowel) const;
    bool hasKeyBar(QChar c);
    void hideKeyBars();
    bool closeKeyBar();
    void hideAllPanels();
    void showCurrentPanel();
    bool beginSpecialKey();
    void deleteWindows();

    InputPanel* inputPanel = nullptr;
    InputPanelShift* inputPanelShift = nullptr;
    InputPanelNumber* inputPanelNumber = nullptr;
    KeyBar_A* keyBarA = nullptr;
    KeyBar_E* keyBarE = nullptr;
    KeyBar_I* keyBarI = nullptr;
    KeyBar_O* keyBarO = nullptr;
    KeyBar_U* keyBarU = nullptr;
    KeyBar_A_small* keyBarASmall = nullptr;
    KeyBar_E_small* keyBarESmall = nullptr;
    KeyBar_I_small* keyBarISmall = nullptr;
    KeyBar_O_small* keyBarOSmall = nullptr;
    KeyBar_U_small* keyBarUSmall = nullptr;
    IPasswordPrompt* prompt;
    bool shiftActive = false;
    bool numberActive = false;
    QTimer pressAndHoldTimer;
    bool keyBarVisible = false;
    QChar pressedChar = QChar(0);
    bool keyBarVisibleAtPress = false;
    // Every owned window in creation order, which is also member order.
    std::vector<OwnedWindow> windows;
};

#endif  // INPUTPANELCONTEXT_H
