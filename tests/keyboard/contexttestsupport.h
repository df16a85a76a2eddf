#ifndef CONTEXTTESTSUPPORT_H
#define CONTEXTTESTSUPPORT_H

#include "fileinstaller.h"
#include "inputpanel.h"
#include "inputpanelcontext.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QByteArray>
#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QList>
#include <QPushButton>
#include <QString>
#include <QTest>
#include <QWidget>

#include <memory>

// One key event as the widget saw it.
struct RecordedKey
{
    QEvent::Type type;
    int key;
    QString text;
    Qt::KeyboardModifiers modifiers;
    bool autoRepeat;
    int count;
};

// Records the key events (and mouse releases) that reach one widget, after
// every application filter has had its say.
class KeyEventRecorder : public QObject
{
public:
    explicit KeyEventRecorder(QWidget* target)
    {
        target->installEventFilter(this);
    }

    QList<RecordedKey> keys;
    int mouseReleases = 0;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease: {
            const QKeyEvent* key = static_cast<const QKeyEvent*>(event);
            keys.append({ event->type(), key->key(), key->text(), key->modifiers(), key->isAutoRepeat(),
                          key->count() });
            break;
        }
        case QEvent::MouseButtonRelease:
            ++mouseReleases;
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }
};

// The top-level window of class T that the context created.
template <class T>
T* keyboardWindow()
{
    const QList<QWidget*> windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (T* match = qobject_cast<T*>(window))
            return match;
    }
    return nullptr;
}

inline QPushButton* keyOf(QWidget* window, const char* name)
{
    return window ? window->findChild<QPushButton*>(QLatin1String(name)) : nullptr;
}

// Which panel the user sees: "upper", "lower", "number", "none", or a list
// when more than one is up.
inline QString visiblePanels()
{
    QStringList shown;
    if (keyboardWindow<InputPanel>()->isVisible())
        shown << QStringLiteral("upper");
    if (keyboardWindow<InputPanelShift>()->isVisible())
        shown << QStringLiteral("lower");
    if (keyboardWindow<InputPanelNumber>()->isVisible())
        shown << QStringLiteral("number");
    return shown.isEmpty() ? QStringLiteral("none") : shown.join(QLatin1Char('+'));
}

// The panel that is up, for clicking its keys.
inline QWidget* currentPanel()
{
    QWidget* panels[] = { keyboardWindow<InputPanel>(), keyboardWindow<InputPanelShift>(),
                          keyboardWindow<InputPanelNumber>() };
    for (QWidget* panel : panels) {
        if (panel->isVisible())
            return panel;
    }
    return nullptr;
}

// The window titles of the accent bars that are up, joined with '+'.
inline QString visibleBars()
{
    QStringList shown;
    const QList<QWidget*> windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (window->isVisible() && window->windowTitle().startsWith(QLatin1String("KeyBar_")))
            shown << window->windowTitle();
    }
    shown.sort();
    return shown.isEmpty() ? QStringLiteral("none") : shown.join(QLatin1Char('+'));
}

inline QWidget* barTitled(const QString& title)
{
    const QList<QWidget*> windows = QApplication::topLevelWidgets();
    for (QWidget* window : windows) {
        if (window->windowTitle() == title)
            return window;
    }
    return nullptr;
}

// A controller with its view and installer, and the context on top, installed
// as the application's filter the way startup does it.
struct ContextRig
{
    ContextRig()
        : manager(nullptr, &view, &installer)
        , context(new InputPanelContext(&manager))
    {
        qApp->installEventFilter(context.get());
    }
    ~ContextRig()
    {
        qApp->removeEventFilter(context.get());
    }

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager;
    std::unique_ptr<InputPanelContext> context;
};

// A frameless window with a text field at the prompt's place, active and with
// the field focused.
struct FieldWindow
{
    explicit FieldWindow(const QPoint& origin = QPoint(30, 20))
        : window(nullptr, Qt::FramelessWindowHint)
        , field(new QLineEdit(&window))
        , button(new QPushButton(QStringLiteral("Elsewhere"), &window))
    {
        window.setGeometry(QRect(origin, QSize(800, 480)));
        field->setGeometry(60, 60, 590, 40);
        button->setGeometry(60, 420, 100, 40);
    }

    bool showAndFocus()
    {
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        field->setFocus();
        return QApplication::focusWidget() == field;
    }

    QWidget window;
    QLineEdit* field;
    QPushButton* button;
};

#endif // CONTEXTTESTSUPPORT_H
