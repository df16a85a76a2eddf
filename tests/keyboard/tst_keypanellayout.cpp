// Every key of the three panels checked against the layout tables: name,
// place, label, character, and the properties that keep keys out of focus.

#include <QPushButton>
#include <QSizePolicy>
#include <QtTest>

#include "keyspecs.h"

using namespace KeySpecs;

class TestKeyPanelLayout : public QObject
{
    Q_OBJECT

private slots:
    void panelWindow_data();
    void panelWindow();
    void keyMatchesTable_data();
    void keyMatchesTable();
    void everyPanelHasThirtyCharacterKeysAndFiveSpecialKeys_data();
    void everyPanelHasThirtyCharacterKeysAndFiveSpecialKeys();
};

void TestKeyPanelLayout::panelWindow_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("formName");
    QTest::addColumn<QString>("title");
    QTest::newRow("InputPanel") << "InputPanel" << "InputPanelForm" << "Input Panel";
    QTest::newRow("InputPanelShift") << "InputPanelShift" << "InputPanelShiftForm" << "Input Panel";
    QTest::newRow("InputPanelNumber") << "InputPanelNumber" << "InputPanelNumberForm"
                                      << "Input Panel Number";
}

void TestKeyPanelLayout::panelWindow()
{
    QFETCH(QString, panel);
    QFETCH(QString, formName);
    QFETCH(QString, title);

    const auto widget = createPanel(panel);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), panel);
    QCOMPARE(widget->objectName(), formName);
    QCOMPARE(widget->size(), QSize(720, 400));
    QCOMPARE(widget->windowTitle(), title);
    QVERIFY(!widget->parentWidget());
    QVERIFY(widget->isWindow());
    QVERIFY(widget->isHidden());

    const Qt::WindowFlags flags = widget->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowDoesNotAcceptFocus));

    // No key reaches into the lower margin or past the right edge.
    for (const QPushButton *key : widget->findChildren<QPushButton *>()) {
        QVERIFY2(key->geometry().right() < 710 && key->geometry().bottom() < 348,
                 qPrintable(key->objectName()));
    }
}

void TestKeyPanelLayout::keyMatchesTable_data()
{
    QTest::addColumn<QString>("panel");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("label");
    QTest::addColumn<int>("value");

    for (const LetterKeySpec &k : letterKeys) {
        QTest::addRow("InputPanel/%s", k.name)
            << "InputPanel" << k.name << QRect(k.x, k.y, k.w, k.h)
            << QString::fromUtf8(k.upperLabel) << int(k.upperValue);
        QTest::addRow("InputPanelShift/%s", k.name)
            << "InputPanelShift" << k.name << QRect(k.x, k.y, k.w, k.h)
            << QString::fromUtf8(k.lowerLabel) << int(k.lowerValue);
    }
    for (const KeySpec &k : numberKeys) {
        QTest::addRow("InputPanelNumber/%s", k.name)
            << "InputPanelNumber" << k.name << QRect(k.x, k.y, k.w, k.h)
            << QString::fromUtf8(k.label) << int(k.value);
    }
}

void TestKeyPanelLayout::keyMatchesTable()
{
    QFETCH(QString, panel);
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, label);
    QFETCH(int, value);

    const auto widget = createPanel(panel);
    const QList<QPushButton *> matches = widget->findChildren<QPushButton *>(name);
    QCOMPARE(matches.size(), 1);
    const QPushButton *key = matches.first();

    QCOMPARE(key->parentWidget(), widget.get());
    QCOMPARE(key->geometry(), geometry);
    QCOMPARE(key->text(), label);
    QCOMPARE(key->font().family(), QStringLiteral("Arial"));
    QCOMPARE(key->font().pointSize(), 12);
    QCOMPARE(key->focusPolicy(), Qt::NoFocus);
    QVERIFY(!key->autoRepeat());
    QVERIFY(!key->isCheckable());

    const QVariant buttonValue = key->property("buttonValue");
    if (value == 0) {
        QVERIFY2(!buttonValue.isValid(), "a special key carries no character");
        QCOMPARE(key->sizePolicy(), QPushButton().sizePolicy());
        QCOMPARE(key->minimumSize(), QSize(0, 0));
    } else {
        QCOMPARE(buttonValue.userType(), int(QMetaType::QChar));
        QCOMPARE(int(buttonValue.value<QChar>().unicode()), value);
        const QSizePolicy policy = key->sizePolicy();
        QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(policy.verticalPolicy(), QSizePolicy::Minimum);
        QCOMPARE(policy.horizontalStretch(), 0);
        QCOMPARE(policy.verticalStretch(), 0);
        QCOMPARE(policy.hasHeightForWidth(), QPushButton().sizePolicy().hasHeightForWidth());
        QCOMPARE(key->minimumSize(), QSize(45, 40));
    }
}

void TestKeyPanelLayout::everyPanelHasThirtyCharacterKeysAndFiveSpecialKeys_data()
{
    QTest::addColumn<QString>("panel");
    for (const char *panel : panelNames)
        QTest::newRow(panel) << panel;
}

void TestKeyPanelLayout::everyPanelHasThirtyCharacterKeysAndFiveSpecialKeys()
{
    QFETCH(QString, panel);
    const auto widget = createPanel(panel);

    // Only keys: the panel has no other child widgets.
    const QList<QWidget *> children = widget->findChildren<QWidget *>();
    QCOMPARE(children.size(), 35);

    QStringList special;
    int characterKeys = 0;
    for (QWidget *child : children) {
        QVERIFY(qobject_cast<QPushButton *>(child));
        if (child->property("buttonValue").isValid())
            ++characterKeys;
        else
            special << child->objectName();
    }
    special.sort();
    QCOMPARE(characterKeys, 30);
    QCOMPARE(special, QStringList({"backspaceButton", "cancelButton", "enterButton", "numberButton",
                                   "shiftButton"}));
}

QTEST_MAIN(TestKeyPanelLayout)
#include "tst_keypanellayout.moc"
