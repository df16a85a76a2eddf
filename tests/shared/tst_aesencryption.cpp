#include "aes_encryption.h"

#include <QRegularExpression>
#include <QtTest>

namespace {
QStringList messages;
void recordMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    messages.append(message);
}
} // namespace

class TestAesEncryption : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("spaces, umlauts, beyond latin1") << QStringLiteral("  Grüße ß Пароль 密码 \U0001F511  ");
        QTest::newRow("longest that fits") << QString(40000, QLatin1Char('p'));
    }

    void roundTrip()
    {
        QFETCH(QString, password);
        AES_Encryption aes;
        const QString stored = aes.Encrypt(password);
        // Nonce, UTF-8 ciphertext and tag, in padded standard base64.
        const QByteArray blob = QByteArray::fromBase64(stored.toLatin1());
        QCOMPARE(blob.size(), 12 + password.toUtf8().size() + 16);
        QCOMPARE(QString::fromLatin1(blob.toBase64()), stored);
        QVERIFY(!blob.contains(password.toUtf8().mid(2, 8)));
        bool ok = false;
        QCOMPARE(aes.Decrypt(stored, &ok), password);
        QVERIFY(ok);
        QCOMPARE(aes.Decrypt(stored), password);
        // A random nonce: the same password never gives the same text twice.
        QVERIFY(aes.Encrypt(password) != stored);
    }

    void readsTextOfOtherImplementationsAndEmptyText()
    {
        // Made with Python's "cryptography" package (AESGCM), the built-in key
        // and the nonce 100..111: passwords the terminal application stored
        // must stay readable.
        AES_Encryption aes;
        bool ok = false;
        QCOMPARE(aes.Decrypt("ZGVmZ2hpamtsbW5vp+95QHkwKcSxHBZ7rffXY0xcQR6pzc9//gVs", &ok), QStringLiteral("Grüße1234"));
        QVERIFY(ok);
        // Empty means no password, both ways.
        QVERIFY(aes.Encrypt(QStringLiteral("")).isEmpty());
        ok = false;
        QVERIFY(aes.Decrypt(QStringLiteral(""), &ok).isEmpty());
        QVERIFY(ok);
        // Too long to store is refused rather than stored as a text that
        // Decrypt would not take.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^AES_Encryption: cannot encrypt"));
        QVERIFY(aes.Encrypt(QString(60000, QLatin1Char('p'))).isEmpty());
    }

    void rejectsAnyOtherText_data()
    {
        QTest::addColumn<QString>("text");
        // Long enough to need padding, and with '+' or '/' for the URL alphabet row.
        QString stored;
        while (!stored.contains(QRegularExpression("[+/]")))
            stored = AES_Encryption().Encrypt(QStringLiteral("pass word?"));
        QVERIFY(stored.endsWith('='));
        QByteArray tampered = QByteArray::fromBase64(stored.toLatin1());
        tampered[tampered.size() - 1] = char(tampered.back() ^ 0x01);
        // Only canonical, padded, standard base64 is ours: a lenient decoder
        // would turn some other text into a password.
        QTest::newRow("padding removed") << QString(stored).remove('=');
        QTest::newRow("trailing newline") << stored + '\n';
        QTest::newRow("url alphabet") << QString(stored).replace('+', '-').replace('/', '_');
        QTest::newRow("non-ascii") << QString(stored).replace(3, 1, QChar(0x00E4));
        QTest::newRow("tag flipped") << QString::fromLatin1(tampered.toBase64());
        // Nonce and tag without ciphertext is no empty password.
        QTest::newRow("28 bytes") << QString::fromLatin1(QByteArray(28, '\x5a').toBase64());
    }

    void rejectsAnyOtherText()
    {
        // Fail closed: never a text, and ok tells it from an empty password.
        // A caller that asks for ok reports the failure in its own line, so
        // the decryptor adds none; without ok it is the only report.
        QFETCH(QString, text);
        messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(recordMessage);
        bool ok = true;
        const QString withOk = AES_Encryption().Decrypt(text, &ok);
        const QStringList linesWithOk = messages;
        const QString withoutOk = AES_Encryption().Decrypt(text);
        qInstallMessageHandler(previous);
        QVERIFY(withOk.isEmpty() && withoutOk.isEmpty());
        QVERIFY(!ok);
        QCOMPARE(linesWithOk, QStringList());
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.at(0).startsWith(QLatin1String("AES_Encryption: cannot decrypt")));
    }
};

QTEST_GUILESS_MAIN(TestAesEncryption)
#include "tst_aesencryption.moc"
