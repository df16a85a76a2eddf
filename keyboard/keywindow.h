#ifndef KEYWINDOW_H
#define KEYWINDOW_H

#include <QChar>
#include <QPointer>
#include <QSignalMapper>
#include <QWidget>

#include <cstddef>

class QPushButton;

// Common ground of the key panels and the accent bars: a parentless tool
// window whose character keys emit characterGenerated(), and which hands
// window activation back to the text field that had focus last.
class KeyWindow : public QWidget
{
    Q_OBJECT

public:
    // One character key of a form and the character it types.
    template <class Form>
    struct CharacterKey
    {
        QPushButton* Form::*key;
        char16_t value;
    };

    ~KeyWindow() override;

signals:
    void characterGenerated(QChar character);

protected:
    KeyWindow();

    bool event(QEvent* e) override;

    // Runs after the form is set up: tags every character key with its
    // "buttonValue", routes its click through the key mapper and starts
    // following the application's focus.
    template <class Form, std::size_t N>
    void connectCharacterKeys(const Form& form, const CharacterKey<Form> (&keys)[N])
    {
        connectFocusTracking();
        for (const CharacterKey<Form>& entry : keys)
            addCharacterKey(form.*(entry.key), QChar(entry.value));
        connectKeyMapper();
    }

private slots:
    void saveFocusWidget(QWidget* oldFocus, QWidget* newFocus);
    void buttonClicked(QObject* key);

private:
    Q_DISABLE_COPY(KeyWindow)

    void connectFocusTracking();
    void addCharacterKey(QPushButton* key, QChar value);
    void connectKeyMapper();

    QPointer<QWidget> savedFocusWidget;
    QSignalMapper keyMapper;
};

#endif  // KEYWINDOW_H
