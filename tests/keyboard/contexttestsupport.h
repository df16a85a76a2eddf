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
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

// The key events and mouse releases that reach one widget, after every
// application filter has had its say. A key event reads "press 41 'A'": type,
// key code in hex and text, then any modifiers, auto-repeat or count.
class KeyEventRecorder : public QObject
{
public:
    explicit KeyEventRecorder(QWidget* target) { target->installEventFilter(this); }

    QStringList keys;
    int mouseReleases = 0;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
            const QKeyEvent* key = static_cast<const QKeyEvent*>(event);
            QString seen = QStringLiteral("%1 %2 '%3'")
                               .arg(event->type() == QEvent::KeyPress ? "press" : "release")
                               .arg(key->key(), 0, 16)
                               .arg(key->text());
            if (key->modifiers() != Qt::NoModifier)
                seen += QStringLiteral(" modifiers");
            if (key->isAutoRepeat())
                seen += QStringLiteral(" autorepeat");
            if (key->count() != 1)
                seen += QStringLiteral(" count %1").arg(key->count());
            keys << seen;
        } else if (event->type() == QEvent::MouseButtonRelease) {
            ++mouseReleases;
        }
        return QObject::eventFilter(watched, event);
    }
};

// How one typed character reaches the field: a press with the text, then one
// without it.
inline QStringList twoPresses(QChar c)
{
    const QString code = QString::number(c.unicode(), 16);
    return { QStringLiteral("press %1 '%2'").arg(code, QString(c)), QStringLiteral("press %1 ''").arg(code) };
}

// The top-level window of class T that the context created.
template <class T>
T* keyboardWindow()
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
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

inline QWidget* currentPanel()
{
    for (QWidget* panel : std::initializer_list<QWidget*>{ keyboardWindow<InputPanel>(), keyboardWindow<InputPanelShift>(),
                                                          keyboardWindow<InputPanelNumber>() }) {
        if (panel->isVisible())
            return panel;
    }
    return nullptr;
}

// The titles of the accent bars that are up, joined with '+'.
inline QString visibleBars()
{
    QStringList shown;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && window->windowTitle().startsWith(QLatin1String("KeyBar_")))
            shown << window->windowTitle();
    }
    shown.sort();
    return shown.isEmpty() ? QStringLiteral("none") : shown.join(QLatin1Char('+'));
}

inline QWidget* barTitled(const QString& title)
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
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
    ~ContextRig() { qApp->removeEventFilter(context.get()); }

    InstallerView view;
    FileInstaller installer;
    InstallerViewManager manager;
    std::unique_ptr<InputPanelContext> context;
};

// A frameless window with a text field at the prompt's place.
struct FieldWindow
{
    FieldWindow()
        : window(nullptr, Qt::FramelessWindowHint)
        , field(new QLineEdit(&window))
        , button(new QPushButton(QStringLiteral("Elsewhere"), &window))
    {
        window.setGeometry(QRect(QPoint(30, 20), QSize(800, 480)));
        field->setGeometry(60, 60, 590, 40);
        button->setGeometry(60, 420, 100, 40);
    }

    // Shown, active, and the field focused.
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
