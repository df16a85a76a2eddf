#include "installerview.h"

#include <QAction>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>

class TestInstallerView : public QObject
{
    Q_OBJECT

private slots:
    void init() { view = new InstallerView; }
    void cleanup() { delete view; }

    void initialFormAndHiddenMenu();
    void outputOperationsProcessPendingEvents();
    void buttons();

private:
    template <typename T>
    T* child(const char* name) const { return view->findChild<T*>(QLatin1String(name)); }

    InstallerView* view = nullptr;
};

void TestInstallerView::initialFormAndHiddenMenu()
{
    // Painted for a moment before the first screen sets its question.
    QCOMPARE(child<QLabel>("txtQuestion")->text(), QStringLiteral("...please wait"));
    QVERIFY(child<QTextBrowser>("txtOutput")->isReadOnly());

    // The developer's Exit menu must never reach the technician.
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    QVERIFY(!view->menuBar()->isVisible());
    QAction* exitAction = child<QAction>("actionExit");
    QVERIFY(exitAction);
    exitAction->trigger();
    QVERIFY(!view->isVisible());
}

void TestInstallerView::outputOperationsProcessPendingEvents()
{
    // A progress line must be painted while the installation keeps the
    // event loop busy: each output operation delivers what is pending.
    int delivered = 0;
    QTimer::singleShot(0, view, [&] { ++delivered; });
    view->appendOutput(QStringLiteral("line"));
    QCOMPARE(delivered, 1);
    QTimer::singleShot(0, view, [&] { ++delivered; });
    view->clearOutput();
    QCOMPARE(delivered, 2);
    // Setting texts alone leaves pending events alone.
    QTimer::singleShot(0, view, [&] { ++delivered; });
    view->setTitle(QStringLiteral("Zentavo Installer"));
    view->setQuestion(QStringLiteral("Install version 1"));
    QCOMPARE(delivered, 2);
    QCOMPARE(child<QLabel>("txtTitle")->text(), QStringLiteral("Zentavo Installer"));
    QCOMPARE(child<QLabel>("txtQuestion")->text(), QStringLiteral("Install version 1"));
    QTRY_COMPARE(delivered, 3);
}

void TestInstallerView::buttons()
{
    QPushButton* button1 = child<QPushButton>("button1");
    QPushButton* button2 = child<QPushButton>("button2");
    QSignalSpy first(view, &InstallerView::NotifyButton1Clicked);
    QSignalSpy second(view, &InstallerView::NotifyButton2Clicked);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    QTest::mouseClick(button1, Qt::LeftButton);
    QTest::mouseClick(button2, Qt::LeftButton);
    QTest::mouseClick(button2, Qt::LeftButton);
    QCOMPARE(first.count(), 1);
    QCOMPARE(second.count(), 2);

    // An empty text hides its button; a text alone never shows a hidden one.
    view->setButtonTexts(QString(), QStringLiteral("Next"));
    QVERIFY(button1->isHidden());
    QVERIFY(!button2->isHidden());
    QCOMPARE(button2->text(), QStringLiteral("Next"));
    view->setButtonTexts(QStringLiteral("Yes"), QString());
    QVERIFY(button1->isHidden());
    QVERIFY(button2->isHidden());
    QCOMPARE(button1->text(), QStringLiteral("Yes"));

    view->setButtonsVisible(true);
    QVERIFY(button1->isVisible() && button2->isVisible());
}

QTEST_MAIN(TestInstallerView)
#include "tst_installerview.moc"
