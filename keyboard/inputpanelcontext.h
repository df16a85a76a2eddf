#ifndef INPUTPANELCONTEXT_H
#define INPUTPANELCONTEXT_H

#include <QObject>
#include <QString>

class InstallerViewManager;

// Application-wide input context: shows the touch keyboards under the focused
// text field and turns key taps into key events.
class InputPanelContext : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(InputPanelContext)

public:
    explicit InputPanelContext(InstallerViewManager* viewManager);
    ~InputPanelContext() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    InstallerViewManager* viewManager;
};

#endif // INPUTPANELCONTEXT_H
