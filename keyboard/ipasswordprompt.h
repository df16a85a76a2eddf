#ifndef IPASSWORDPROMPT_H
#define IPASSWORDPROMPT_H

#include <QObject>
#include <QString>

class QLineEdit;

// What the keyboard needs of the password prompt it types into: the field,
// the comparison on Enter, and the two ways the prompt ends. The workflow
// controller implements it; the keyboard knows nothing else of the controller.
class IPasswordPrompt : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(IPasswordPrompt)

public:
    explicit IPasswordPrompt(QObject* parent = nullptr);
    ~IPasswordPrompt() override;

    // The open prompt's field, or null while no prompt is open.
    virtual QLineEdit* passwordLineEdit() const = 0;
    virtual bool matchesPassword(const QString& entered) const = 0;
    virtual void setPasswordAccepted(bool accepted) = 0;
    virtual void setPasswordCancelled() = 0;

signals:
    // The prompt is open with its field focused: the keyboard may come up.
    void notifyShowInputPanel();
    // Return in the field: the keyboard compares as for its own Enter key.
    void notifyKeyboardEnter();
};

#endif  // IPASSWORDPROMPT_H
