#include "installerview.h"

#include <QAction>
#include <QBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>

class TestInstallerView : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formWidgetsAndTexts();
    void formLayout();
    void menuIsHiddenAndExitCloses();
    void appendStartsParagraphs();
    void clearThenAppendShowsOnlyNewLine();
    void outputOperationsProcessPendingEvents();
    void buttonTextsOnlyHide();
    void buttonVisibilityAndEnabling();
    void buttonClicksEmitOnce();

private:
    template <typename T>
    T* child(const char* name) const
    {
        T* widget = view->findChild<T*>(QLatin1String(name));
        if (!widget)
            qWarning("missing child %s", name);
        return widget;
    }
    QStringList paragraphs() const;

    InstallerView* view = nullptr;
};

void TestInstallerView::init()
{
    view = new InstallerView;
}

void TestInstallerView::cleanup()
{
    delete view;
    view = nullptr;
}

QStringList TestInstallerView::paragraphs() const
{
    QStringList list;
    QTextDocument* document = child<QTextBrowser>("txtOutput")->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next())
        list << block.text();
    return list;
}

void TestInstallerView::formWidgetsAndTexts()
{
    QCOMPARE(view->objectName(), QStringLiteral("InstallerClass"));
    QCOMPARE(view->size(), QSize(800, 480));
    QCOMPARE(view->windowTitle(), QStringLiteral("Installer"));
    QCOMPARE(view->styleSheet(), QStringLiteral("background-color: rgb(255, 255, 255);\n"));
    QVERIFY(!view->isVisible());

    QLabel* title = child<QLabel>("txtTitle");
    QVERIFY(title);
    QCOMPARE(title->text(), QStringLiteral("TextLabel"));
    QCOMPARE(title->font().family(), QStringLiteral("Arial"));
    QCOMPARE(title->font().pointSize(), 20);
    QVERIFY(title->font().bold());
    QCOMPARE(title->margin(), 0);

    QLabel* question = child<QLabel>("txtQuestion");
    QVERIFY(question);
    QCOMPARE(question->text(), QStringLiteral("...please wait"));
    QCOMPARE(question->font().family(), QStringLiteral("Arial"));
    QCOMPARE(question->font().pointSize(), 20);
    QVERIFY(!question->font().bold());

    for (const char* name : {"button1", "button2"}) {
        QPushButton* button = child<QPushButton>(name);
        QVERIFY(button);
        QCOMPARE(button->text(), QStringLiteral("PushButton"));
        QCOMPARE(button->minimumSize(), QSize(180, 60));
        QCOMPARE(button->font(), question->font());
    }

    QTextBrowser* output = child<QTextBrowser>("txtOutput");
    QVERIFY(output);
    QVERIFY(output->isReadOnly());
    QVERIFY(output->toPlainText().isEmpty());

    QCOMPARE(view->centralWidget()->objectName(), QStringLiteral("centralWidget"));
}

void TestInstallerView::formLayout()
{
    // Title, question, gap, button row, gap, output: the output area takes what is left.
    auto* vertical = qobject_cast<QVBoxLayout*>(view->centralWidget()->layout());
    QVERIFY(vertical);
    QCOMPARE(vertical->spacing(), 15);
    QCOMPARE(vertical->contentsMargins(), QMargins(20, 20, 20, 20));
    QCOMPARE(vertical->count(), 6);
    QCOMPARE(vertical->itemAt(2)->spacerItem()->sizeHint(), QSize(20, 10));
    auto* row = qobject_cast<QHBoxLayout*>(vertical->itemAt(3)->layout());
    QVERIFY(row);
    QCOMPARE(row->spacing(), 6);
    QCOMPARE(row->itemAt(0)->spacerItem()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(row->itemAt(2)->spacerItem()->sizeHint(), QSize(10, 20));
    QCOMPARE(vertical->itemAt(5)->widget(), static_cast<QWidget*>(child<QTextBrowser>("txtOutput")));
}

void TestInstallerView::menuIsHiddenAndExitCloses()
{
    QMenuBar* bar = view->menuBar();
    QCOMPARE(bar->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(bar->geometry(), QRect(0, 0, 800, 21));
    QMenu* menu = child<QMenu>("menu_File");
    QVERIFY(menu);
    QCOMPARE(menu->title(), QStringLiteral("&File"));
    QCOMPARE(bar->actions(), QList<QAction*>{menu->menuAction()});
    QAction* exitAction = child<QAction>("actionExit");
    QVERIFY(exitAction);
    QCOMPARE(exitAction->text(), QStringLiteral("E&xit"));
    QCOMPARE(menu->actions(), QList<QAction*>{exitAction});

    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    QVERIFY(!bar->isVisible());
    exitAction->trigger();
    QVERIFY(!view->isVisible());
}

void TestInstallerView::appendStartsParagraphs()
{
    view->appendOutput(QStringLiteral("first"));
    view->appendOutput(QStringLiteral("second"));
    view->appendOutput(QStringLiteral("third"));
    QCOMPARE(paragraphs(), (QStringList{QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")}));
}

void TestInstallerView::clearThenAppendShowsOnlyNewLine()
{
    view->appendOutput(QStringLiteral("old one"));
    view->appendOutput(QStringLiteral("old two"));
    view->clearOutput();
    QCOMPARE(paragraphs(), QStringList{QString()});
    view->appendOutput(QStringLiteral("Installing update to Zentavo..."));
    QCOMPARE(paragraphs(), QStringList{QStringLiteral("Installing update to Zentavo...")});
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

void TestInstallerView::buttonTextsOnlyHide()
{
    QPushButton* button1 = child<QPushButton>("button1");
    QPushButton* button2 = child<QPushButton>("button2");
    view->show();

    view->setButtonTexts(QString(), QStringLiteral("Next"));
    QVERIFY(button1->isHidden());
    QVERIFY(!button2->isHidden());
    QCOMPARE(button1->text(), QString());
    QCOMPARE(button2->text(), QStringLiteral("Next"));

    view->setButtonTexts(QStringLiteral("Yes"), QString());
    QVERIFY(button1->isHidden());
    QVERIFY(button2->isHidden());
    QCOMPARE(button1->text(), QStringLiteral("Yes"));

    view->setButtonsVisible(true);
    QVERIFY(!button1->isHidden());
    QVERIFY(!button2->isHidden());
}

void TestInstallerView::buttonVisibilityAndEnabling()
{
    QPushButton* button1 = child<QPushButton>("button1");
    QPushButton* button2 = child<QPushButton>("button2");
    view->show();
    view->setButtonsVisible(false);
    QVERIFY(!button1->isVisible());
    QVERIFY(!button2->isVisible());
    view->setButtonsVisible(true);
    QVERIFY(button1->isVisible());
    QVERIFY(button2->isVisible());
    view->disableButtons();
    QVERIFY(!button1->isEnabled());
    QVERIFY(!button2->isEnabled());
    view->enableButtons();
    QVERIFY(button1->isEnabled());
    QVERIFY(button2->isEnabled());
}

void TestInstallerView::buttonClicksEmitOnce()
{
    QSignalSpy first(view, &InstallerView::NotifyButton1Clicked);
    QSignalSpy second(view, &InstallerView::NotifyButton2Clicked);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    QTest::mouseClick(child<QPushButton>("button1"), Qt::LeftButton);
    QCOMPARE(first.count(), 1);
    QCOMPARE(second.count(), 0);
    QTest::mouseClick(child<QPushButton>("button2"), Qt::LeftButton);
    QCOMPARE(first.count(), 1);
    QCOMPARE(second.count(), 1);
}

QTEST_MAIN(TestInstallerView)
#include "tst_installerview.moc"
