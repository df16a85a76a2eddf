#ifndef INSTALLERVIEW_H
#define INSTALLERVIEW_H

#include <QMainWindow>
#include <QString>

namespace Ui {
class InstallerClass;
}

// The full-screen main window: title, question, two buttons and the output
// area with the installer's progress lines. No logic of its own.
class InstallerView : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(InstallerView)

public:
    explicit InstallerView(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~InstallerView() override;

    void setTitle(QString text);
    void setQuestion(QString text);
    void clearOutput();
    void appendOutput(QString text);
    void setButtonsVisible(bool visible);
    void enableButtons();
    void disableButtons();
    void setButtonTexts(QString text1, QString text2);

signals:
    void NotifyButton1Clicked();
    void NotifyButton2Clicked();

public slots:
    void on_button1_clicked();
    void on_button2_clicked();

private:
    Ui::InstallerClass* ui;
};

#endif  // INSTALLERVIEW_H
