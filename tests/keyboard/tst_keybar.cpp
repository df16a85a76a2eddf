// The ten accent bars: their forms against the bar table, what a tap emits,
// and that a bar neither takes focus nor reacts beside its keys.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include <functional>
#include <memory>

#include "keybar_a.h"
#include "keybar_a_small.h"
#include "keybar_e.h"
#include "keybar_e_small.h"
#include "keybar_i.h"
#include "keybar_i_small.h"
#include "keybar_o.h"
#include "keybar_o_small.h"
#include "keybar_u.h"
#include "keybar_u_small.h"
#include "signallog.h"

namespace {

// Typed from the bar table; a null character marks a missing position 6.
struct BarSpec
{
    const char *className;
    char vowel;
    int width;
    char16_t accents[5]; // positions 2 to 6
    std::function<std::unique_ptr<QWidget>()> create;
};

template <class Bar>
std::unique_ptr<QWidget> make()
{
    return std::make_unique<Bar>();
}

const BarSpec bars[] = {
    {"KeyBar_A", 'A', 310, {0xC4, 0xC2, 0xC1, 0xC0, 0xC3}, make<KeyBar_A>},
    {"KeyBar_A_small", 'A', 310, {0xE4, 0xE2, 0xE1, 0xE0, 0xE3}, make<KeyBar_A_small>},
    {"KeyBar_E", 'E', 250, {0xCB, 0xCA, 0xC9, 0xC8, 0}, make<KeyBar_E>},
    {"KeyBar_E_small", 'E', 250, {0xEB, 0xEA, 0xE9, 0xE8, 0}, make<KeyBar_E_small>},
    {"KeyBar_I", 'I', 250, {0xCF, 0xCE, 0xCD, 0xCC, 0}, make<KeyBar_I>},
    {"KeyBar_I_small", 'I', 250, {0xEF, 0xEE, 0xED, 0xEC, 0}, make<KeyBar_I_small>},
    {"KeyBar_O", 'O', 310, {0xD6, 0xD4, 0xD3, 0xD2, 0xD5}, make<KeyBar_O>},
    {"KeyBar_O_small", 'O', 310, {0xF6, 0xF4, 0xF3, 0xF2, 0xF5}, make<KeyBar_O_small>},
    {"KeyBar_U", 'U', 250, {0xDC, 0xDB, 0xDA, 0xD9, 0}, make<KeyBar_U>},
    {"KeyBar_U_small", 'U', 250, {0xFC, 0xFB, 0xFA, 0xF9, 0}, make<KeyBar_U_small>},
};

const int keyX[] = {10, 70, 130, 190, 250};

const BarSpec &bar(const QString &className)
{
    for (const BarSpec &spec : bars) {
        if (className == QLatin1String(spec.className))
            return spec;
    }
    qFatal("unknown bar %s", qPrintable(className));
}

} // namespace

class TestKeyBar : public QObject
{
    Q_OBJECT

private slots:
    void barWindow_data();
    void barWindow();
    void keyMatchesTable_data();
    void keyMatchesTable();
    void tapAndReleaseOffTheKey_data();
    void tapAndReleaseOffTheKey();
    void pressBesideTheKeysEmitsNothing_data();
    void pressBesideTheKeysEmitsNothing();
    void keysNeverTakeFocusAndActivationReturns();
};

void TestKeyBar::barWindow_data()
{
    QTest::addColumn<QString>("className");
    for (const BarSpec &spec : bars)
        QTest::newRow(spec.className) << spec.className;
}

void TestKeyBar::barWindow()
{
    QFETCH(QString, className);
    const BarSpec &spec = bar(className);
    const auto widget = spec.create();

    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->objectName(), className + QStringLiteral("_Form"));
    QCOMPARE(widget->windowTitle(), className);
    QCOMPARE(widget->size(), QSize(spec.width, 70));
    QVERIFY(!widget->parentWidget());
    QVERIFY(widget->isHidden());

    const Qt::WindowFlags flags = widget->windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowDoesNotAcceptFocus));

    // Only the key signal: a bar reports no hiding, closing or outside press.
    SignalLog log(widget.get());
    QCOMPARE(log.take(), QStringList());
    QStringList declared;
    const QMetaObject *meta = widget->metaObject();
    for (int i = QWidget::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Signal)
            declared << QString::fromLatin1(meta->method(i).methodSignature());
    }
    QCOMPARE(declared, QStringList{"characterGenerated(QChar)"});

    const int keys = spec.accents[4] ? 5 : 4;
    QCOMPARE(widget->findChildren<QWidget *>().size(), keys);
    widget->show();
    widget->hide();
    widget->show();
    widget->close();
    QCOMPARE(log.take(), QStringList());
}

void TestKeyBar::keyMatchesTable_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<int>("value");
    for (const BarSpec &spec : bars) {
        for (int i = 0; i < 5 && spec.accents[i]; ++i) {
            const QString name = QStringLiteral("panelButton_%1_%2").arg(QLatin1Char(spec.vowel)).arg(i + 2);
            QTest::addRow("%s/%s", spec.className, qPrintable(name))
                << spec.className << name << QRect(keyX[i], 10, 50, 50) << int(spec.accents[i]);
        }
    }
}

void TestKeyBar::keyMatchesTable()
{
    QFETCH(QString, className);
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(int, value);

    const auto widget = bar(className).create();
    const QList<QPushButton *> matches = widget->findChildren<QPushButton *>(name);
    QCOMPARE(matches.size(), 1);
    const QPushButton *key = matches.first();

    QCOMPARE(key->geometry(), geometry);
    QCOMPARE(key->text(), QString(QChar(value)));
    QCOMPARE(key->property("buttonValue").userType(), int(QMetaType::QChar));
    QCOMPARE(int(key->property("buttonValue").value<QChar>().unicode()), value);
    QCOMPARE(key->font().family(), QStringLiteral("Arial"));
    QCOMPARE(key->font().pointSize(), 12);
    QCOMPARE(key->focusPolicy(), Qt::NoFocus);
    QVERIFY(!key->autoRepeat());
    QCOMPARE(key->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(key->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(key->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(key->sizePolicy().verticalStretch(), 0);
    QCOMPARE(key->minimumSize(), QSize(45, 40));
}

void TestKeyBar::tapAndReleaseOffTheKey_data()
{
    keyMatchesTable_data();
}

void TestKeyBar::tapAndReleaseOffTheKey()
{
    QFETCH(QString, className);
    QFETCH(QString, name);
    QFETCH(int, value);

    const auto widget = bar(className).create();
    widget->show();
    SignalLog log(widget.get());
    auto *key = widget->findChild<QPushButton *>(name);
    QVERIFY(key);

    QTest::mousePress(key, Qt::LeftButton);
    QCOMPARE(log.take(), QStringList());
    QTest::mouseRelease(key, Qt::LeftButton);
    QCOMPARE(log.take(), QStringList{SignalLog::describe(QStringLiteral("characterGenerated"), char16_t(value))});
    QVERIFY(widget->isVisible()); // the bar stays; hiding it is not its business

    QTest::mousePress(key, Qt::LeftButton);
    QTest::mouseRelease(key, Qt::LeftButton, {}, QPoint(key->width() / 2, -15));
    QCOMPARE(log.take(), QStringList());
}

void TestKeyBar::pressBesideTheKeysEmitsNothing_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QPoint>("point");
    for (const BarSpec &spec : bars) {
        QTest::addRow("%s/left margin", spec.className) << spec.className << QPoint(5, 35);
        QTest::addRow("%s/top margin", spec.className) << spec.className << QPoint(35, 5);
        QTest::addRow("%s/gap", spec.className) << spec.className << QPoint(65, 35);
        QTest::addRow("%s/bottom margin", spec.className) << spec.className << QPoint(100, 65);
        QTest::addRow("%s/right margin", spec.className) << spec.className << QPoint(spec.width - 5, 35);
    }
}

void TestKeyBar::pressBesideTheKeysEmitsNothing()
{
    QFETCH(QString, className);
    QFETCH(QPoint, point);

    const auto widget = bar(className).create();
    widget->move(0, 0);
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    QCOMPARE(widget->childAt(point), nullptr);
    SignalLog log(widget.get());
    QTest::mouseClick(widget->windowHandle(), Qt::LeftButton, {}, point);
    QCOMPARE(log.take(), QStringList());
}

void TestKeyBar::keysNeverTakeFocusAndActivationReturns()
{
    std::vector<std::unique_ptr<QWidget>> widgets;
    for (const BarSpec &spec : bars)
        widgets.push_back(spec.create());

    QWidget fieldWindow;
    auto *edit = new QLineEdit(&fieldWindow);
    (new QVBoxLayout(&fieldWindow))->addWidget(edit);
    fieldWindow.show();
    fieldWindow.activateWindow();
    edit->setFocus();
    QVERIFY(QTest::qWaitForWindowActive(&fieldWindow));
    QVERIFY(edit->hasFocus());

    for (const auto &widget : widgets) {
        widget->move(0, 100);
        widget->show();
        QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
        SignalLog log(widget.get());
        const QList<QPushButton *> keys = widget->findChildren<QPushButton *>();
        for (QPushButton *key : keys) {
            QTest::mouseClick(widget->windowHandle(), Qt::LeftButton, {}, key->geometry().center());
            QVERIFY2(edit->hasFocus(), qPrintable(key->objectName()));
        }
        QCOMPARE(log.take().size(), keys.size());
        QCOMPARE(QApplication::activeWindow(), &fieldWindow);
    }

    // Another window takes activation; a bar's activation hands it back to
    // the field that had focus last.
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(widgets.back().get(), &activate);
    QTRY_COMPARE(QApplication::activeWindow(), &fieldWindow);
    QCOMPARE(QApplication::focusWidget(), edit);
}

QTEST_MAIN(TestKeyBar)
#include "tst_keybar.moc"
