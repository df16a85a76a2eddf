#include "keywindow.h"

#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QVariant>

// Tool windows that never take focus: the text field keeps keyboard focus
// while the user types, and on X11 a keyboard that accepts focus would lose
// taps to the activation hand-back in event().
KeyWindow::KeyWindow()
    : QWidget(nullptr,
              Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus)
{
}

KeyWindow::~KeyWindow()
{
    // The widget base may still move focus while it tears down; this part of
    // the object is gone by then and must not be called. Without an
    // application object there is nothing left to disconnect from.
    if (qApp)
        disconnect(qApp, &QApplication::focusChanged, this, &KeyWindow::saveFocusWidget);
}

void KeyWindow::connectFocusTracking()
{
    connect(qApp, &QApplication::focusChanged, this, &KeyWindow::saveFocusWidget);
}

void KeyWindow::addCharacterKey(QPushButton* key, QChar value)
{
    key->setProperty("buttonValue", QVariant::fromValue(value));
    keyMapper.setMapping(key, static_cast<QObject*>(key));
    connect(key, &QPushButton::clicked, &keyMapper, qOverload<>(&QSignalMapper::map));
}

void KeyWindow::connectKeyMapper()
{
    connect(&keyMapper, &QSignalMapper::mappedObject, this, &KeyWindow::buttonClicked);
}

bool KeyWindow::event(QEvent* e)
{
    // Activation goes straight back to the text field's window, so the field
    // keeps keyboard focus while this window is touched.
    if (e->type() == QEvent::WindowActivate && savedFocusWidget)
        savedFocusWidget->activateWindow();
    return QWidget::event(e);
}

void KeyWindow::saveFocusWidget(QWidget* oldFocus, QWidget* newFocus)
{
    Q_UNUSED(oldFocus)
    if (newFocus && newFocus != this && !isAncestorOf(newFocus))
        savedFocusWidget = newFocus;
}

void KeyWindow::buttonClicked(QObject* key)
{
    // A value that holds no character converts to the null character.
    emit characterGenerated(key->property("buttonValue").toChar());
}
