// Every fixed text of every screen and of the keyboard, measured in the
// device's face against the room its widget draws it in: a text that does not
// fit is clipped on the device's 800 x 480 screen.
#include "aes_encryption.h"
#include "devicefont.h"
#include "ifileinstaller.h"
#include "installerview.h"
#include "installerviewmanager.h"
#include "passwordwriter.h"

#include "inputpanel.h"
#include "inputpanelnumber.h"
#include "inputpanelshift.h"
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

#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

const QSize deviceScreen(800, 480);

struct Script
{
    bool updateAvailable = false;
    bool installResult = true;
    std::function<void()> duringInstall;
} script;

// One line per text that is clipped, or drawn in another face than the device's.
QStringList misfits(QWidget* window)
{
    QStringList found;
    auto measure = [&](QWidget* widget, QString text, const QRect& room) {
        text.remove(QLatin1Char('&'));
        const QFontInfo face(widget->font());
        const QFontMetrics metrics(widget->font());
        // Glyphs may reach past the advance (italic overhang, Qt 5's hinted
        // bounds); what is drawn outside the widget is cut off all the same.
        const QRect ink = metrics.boundingRect(text);
        const QSize needed(qMax(metrics.horizontalAdvance(text), ink.right() + 1) - qMin(ink.left(), 0),
                           metrics.height());
        const QString where = widget->objectName() + QLatin1String(" \"") + text + QLatin1Char('"');
        if (face.family() != DeviceFont::family())
            found << where + QLatin1String(" is drawn in ") + face.family();
        if (needed.width() > room.width() || needed.height() > room.height())
            found << QStringLiteral("%1 needs %2 x %3 px, has %4 x %5")
                         .arg(where).arg(needed.width()).arg(needed.height()).arg(room.width()).arg(room.height());
        const QRect onScreen(widget->mapTo(window, QPoint(0, 0)), widget->size());
        if (!QRect(QPoint(0, 0), deviceScreen).contains(onScreen))
            found << where + QLatin1String(" lies outside the 800 x 480 screen");
    };
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->isVisibleTo(window) && !label->text().isEmpty()) {
            const int margin = label->margin() + qMax(label->indent(), 0);
            measure(label, label->text(), label->contentsRect().adjusted(margin, label->margin(), -margin, -label->margin()));
        }
    }
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->isVisibleTo(window) && !button->text().isEmpty()) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            measure(button, button->text(), button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button));
        }
    }
    return found;
}

// The main window as the device shows it: full screen, 800 x 480.
QStringList screenMisfits(InstallerView* view)
{
    view->showNormal();
    view->setGeometry(QRect(QPoint(0, 0), deviceScreen));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QStringList found = misfits(view);
    // A layout whose texts need more room widens the window past the screen.
    if (view->size() != deviceScreen)
        found << QStringLiteral("the window needs %1 x %2 px").arg(view->width()).arg(view->height());
    return found;
}

// Answers from the script in place of FileInstaller.
class ScriptedInstaller : public IFileInstaller
{
public:
    bool isUpdateAvailable() override { return script.updateAvailable; }
    bool deleteInstallerDirectory() override { return true; }
    void startStickWatch() override {}
    void startTerminal() override {}
    // As wide as a version of four numbers gets.
    QString updateVersion() override { return QStringLiteral("8888.8888.8888.8888"); }
    bool install() override
    {
        if (script.duringInstall)
            script.duringInstall();
        return script.installResult;
    }
};

} // namespace

class TestTextFit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyboardWindows_data();
    void keyboardWindows();
    void screens_data();
    void screens();
};

void TestTextFit::initTestCase()
{
    DeviceFont::apply();
    QVERIFY2(QFontInfo(QApplication::font()).family() == DeviceFont::family(),
             qPrintable(QLatin1String("the device's face is not installed (fonts-liberation2); got ")
                        + QFontInfo(QApplication::font()).family()));
}

// Qt 5 cannot carry a factory in a test row; the rows name an index into this.
static QWidget* makeKeyboardWindow(int index)
{
    switch (index) {
    case 0: return new InputPanel;
    case 1: return new InputPanelShift;
    case 2: return new InputPanelNumber;
    case 3: return new KeyBar_A;
    case 4: return new KeyBar_A_small;
    case 5: return new KeyBar_E;
    case 6: return new KeyBar_E_small;
    case 7: return new KeyBar_I;
    case 8: return new KeyBar_I_small;
    case 9: return new KeyBar_O;
    case 10: return new KeyBar_O_small;
    case 11: return new KeyBar_U;
    case 12: return new KeyBar_U_small;
    }
    return nullptr;
}

void TestTextFit::keyboardWindows_data()
{
    QTest::addColumn<int>("window");
    const char* const names[] = {"upper case", "lower case", "digits", "bar A", "bar a", "bar E", "bar e",
                                 "bar I", "bar i", "bar O", "bar o", "bar U", "bar u"};
    for (int i = 0; i < 13; ++i)
        QTest::newRow(names[i]) << i;
}

void TestTextFit::keyboardWindows()
{
    QFETCH(int, window);
    std::unique_ptr<QWidget> keys(makeKeyboardWindow(window));
    // Accent bars have four or five keys, the panels dozens.
    QVERIFY(keys->findChildren<QPushButton*>().size() >= 4);
    const QStringList found = misfits(keys.get());
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1String("\n"))));
}

void TestTextFit::screens_data()
{
    QTest::addColumn<bool>("password");
    QTest::addColumn<bool>("readable");  // the stored password, or one that cannot be decrypted
    QTest::addColumn<bool>("update");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("question");
    // The install screen is measured while the install runs, the result
    // screen afterwards; the prompt whenever a password is stored.
    QTest::newRow("success") << false << true << true << true << "Update was successful. Remove stick to start Zentavo.";
    QTest::newRow("failure") << false << true << true << false << "Update was not successful. Remove stick to start Zentavo.";
    QTest::newRow("nothing done") << false << true << false << true << "Nothing done. Remove stick to start Zentavo.";
    QTest::newRow("prompt, cancelled") << true << true << true << true << "Nothing done. Remove stick to start Zentavo.";
    // With the line that tells only Cancel leads on.
    QTest::newRow("prompt, password unreadable") << true << false << true << true
                                                 << "Nothing done. Remove stick to start Zentavo.";
}

void TestTextFit::screens()
{
    QFETCH(bool, password);
    QFETCH(bool, readable);
    QFETCH(bool, update);
    QFETCH(bool, result);
    QFETCH(QString, question);

    QTemporaryDir device;
    QVERIFY(device.isValid());
    qputenv("ZENTAVO_DEVICE_ROOT", device.path().toLocal8Bit());
    const QString database = device.path() + QLatin1String("/FlashDisk/Zentavo/data/Administrator_setting.db");
    if (password) {
        QVERIFY(QDir().mkpath(QFileInfo(database).path()));
        AES_Encryption aes;
        QString error;
        const QString stored = readable ? aes.Encrypt(QStringLiteral("Técnico7")) : QStringLiteral("not base64 ~");
        QVERIFY2(PasswordWriter(database).write(stored, &error), qPrintable(error));
    }
    script = Script();
    script.updateAvailable = update;
    script.installResult = result;

    InstallerView view;
    ScriptedInstaller installer;
    InstallerViewManager manager(nullptr, &view, &installer);
    QStringList found;
    int measured = 0;
    script.duringInstall = [&] {
        found << screenMisfits(&view);
        ++measured;
    };
    connect(&manager, &InstallerViewManager::notifyShowInputPanel, &manager, [&] {
        QWidget* prompt = manager.passwordLineEdit()->window();
        found << misfits(prompt);
        // Every label of the prompt was measured: the title, and the second line when it has one.
        if (prompt->findChildren<QLabel*>().size() != (readable ? 1 : 2))
            found << QStringLiteral("the prompt has %1 labels").arg(prompt->findChildren<QLabel*>().size());
        ++measured;
        QTimer::singleShot(0, &manager, &InstallerViewManager::setPasswordCancelled);
    });
    manager.onStartup();
    found << screenMisfits(&view);
    qunsetenv("ZENTAVO_DEVICE_ROOT");

    QCOMPARE(view.findChild<QLabel*>(QStringLiteral("txtQuestion"))->text(), question);
    QCOMPARE(measured, password || update ? 1 : 0);
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1String("\n"))));
}

QTEST_MAIN(TestTextFit)
#include "tst_textfit.moc"
