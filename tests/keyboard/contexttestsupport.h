#ifndef CONTEXTTESTSUPPORT_H
#define CONTEXTTESTSUPPORT_H

#include "fileinstaller.h"
#include "inputpanelcontext.h"
#include "installerview.h"
#include "installerviewmanager.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <memory>

// The key events and mouse releases that reach one widget after every
// application filter: "press 41 'A'" is type, key code in hex and text, then
// any modifiers, auto-repeat or count.
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
            keys << QStringLiteral("%1 %2 '%3'")
                        .arg(event->type() == QEvent::KeyPress ? "press" : "release")
                        .arg(key->key(), 0, 16)
                        .arg(key->text())
                    + (key->modifiers() != Qt::NoModifier ? " modifiers" : "") + (key->isAutoRepeat() ? " autorepeat" : "")
                    + (key->count() != 1 ? " count" : "");
        }
        mouseReleases += event->type() == QEvent::MouseButtonRelease;
        return QObject::eventFilter(watched, event);
    }
};

// How one typed character reaches the field: a press with the text, then one without.
inline QStringList twoPresses(QChar c)
{
    const QString code = QString::number(c.unicode(), 16);
    return { QStringLiteral("press %1 '%2'").arg(code, QString(c)), QStringLiteral("press %1 ''").arg(code) };
}

// The context's top-level window of that class.
inline QWidget* windowOf(const QString& className)
{
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (QLatin1String(window->metaObject()->className()) == className)
            return window;
    }
    return nullptr;
}

inline QPushButton* keyOf(QWidget* window, const QString& name)
{
    return window ? window->findChild<QPushButton*>(name) : nullptr;
}

// The classes of the visible windows whose class name starts with prefix,
// joined with '+', or "none".
inline QString visible(const char* prefix)
{
    QStringList shown;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && QLatin1String(window->metaObject()->className()).startsWith(QLatin1String(prefix)))
            shown << QLatin1String(window->metaObject()->className());
    }
    shown.sort();
    return shown.isEmpty() ? QStringLiteral("none") : shown.join(QLatin1Char('+'));
}

inline QString visiblePanels() { return visible("InputPanel"); }
inline QString visibleBars() { return visible("KeyBar_"); }
inline QWidget* currentPanel() { return windowOf(visiblePanels()); }

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

// A frameless window at 30,20 with a text field at the prompt's place.
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
