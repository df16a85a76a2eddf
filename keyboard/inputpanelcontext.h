#ifndef INPUTPANELCONTEXT_H
#define INPUTPANELCONTEXT_H

#include <QChar>
#include <QObject>
#include <QString>
#include <QTimer>

class InstallerViewManager;
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
// keys against the workflow controller.
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
    explicit InputPanelContext(InstallerViewManager* viewManager);
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
    QWidget* focusWidget() const;
    void positionPanels();
    bool hasKeyBar(QChar c);
    void hideKeyBars();
    bool closeKeyBar();
    void hideAllPanels();
    void showCurrentPanel();
    bool beginSpecialKey();
    void deleteWindows();

    InputPanel* inputPanel;
    InputPanelShift* inputPanelShift;
    InputPanelNumber* inputPanelNumber;
    KeyBar_A* keyBarA;
    KeyBar_E* keyBarE;
    KeyBar_I* keyBarI;
    KeyBar_O* keyBarO;
    KeyBar_U* keyBarU;
    KeyBar_A_small* keyBarASmall;
    KeyBar_E_small* keyBarESmall;
    KeyBar_I_small* keyBarISmall;
    KeyBar_O_small* keyBarOSmall;
    KeyBar_U_small* keyBarUSmall;
    InstallerViewManager* viewManager;
    bool shiftActive;
    bool numberActive;
    QTimer pressAndHoldTimer;
    bool keyBarVisible;
    QChar pressedChar;
    bool keyBarVisibleAtPress;
};

#endif // INPUTPANELCONTEXT_H
