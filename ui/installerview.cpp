#include "installerview.h"
#include "ui_installerview.h"

#include <QCoreApplication>
#include <QEventLoop>

InstallerView::InstallerView(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
    , ui(new Ui::InstallerClass)
{
    ui->setupUi(this);
    // The menu only carries the developer's Exit action; a technician never sees it.
    ui->menuBar->hide();
}

InstallerView::~InstallerView()
{
    delete ui;
}

void InstallerView::setTitle(QString text)
{
    ui->txtTitle->setText(text);
}

void InstallerView::setQuestion(QString text)
{
    ui->txtQuestion->setText(text);
}

// The installation runs inside event handling, so the output operations let
// the window paint each change right away.
void InstallerView::clearOutput()
{
    ui->txtOutput->clear();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void InstallerView::appendOutput(QString text)
{
    ui->txtOutput->append(text);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void InstallerView::setButtonsVisible(bool visible)
{
    ui->button1->setVisible(visible);
    ui->button2->setVisible(visible);
}

void InstallerView::enableButtons()
{
    ui->button1->setEnabled(true);
    ui->button2->setEnabled(true);
}

void InstallerView::disableButtons()
{
    ui->button1->setEnabled(false);
    ui->button2->setEnabled(false);
}

void InstallerView::setButtonTexts(QString text1, QString text2)
{
    ui->button1->setText(text1);
    ui->button2->setText(text2);
    // Only hides: a button without a text has nothing to offer, but a text
    // alone is no reason to show a button the workflow has hidden.
    if (text1.isEmpty())
        ui->button1->hide();
    if (text2.isEmpty())
        ui->button2->hide();
}

void InstallerView::on_button1_clicked()
{
    emit NotifyButton1Clicked();
}

void InstallerView::on_button2_clicked()
{
    emit NotifyButton2Clicked();
}
