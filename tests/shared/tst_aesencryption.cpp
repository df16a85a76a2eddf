#include "aes_encryption.h"

#include <QRegularExpression>
#include <QtTest>

class TestAesEncryption : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("ascii") << QStringLiteral("Admin1234");
        QTest::newRow("one char") << QStringLiteral("x");
        QTest::newRow("spaces, umlauts, beyond latin1") << QStringLiteral("  Grüße ß Пароль 密码 \U0001F511  ");
        // A longest password still fits.
        QTest::newRow("40000 chars") << QString(40000, QLatin1Char('p'));
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
        if (password.size() >= 4)
            QVERIFY(!blob.contains(password.toUtf8()));

        bool ok = false;
        QCOMPARE(aes.Decrypt(stored, &ok), password);
        QVERIFY(ok);
        QCOMPARE(aes.Decrypt(stored), password);
        // A random nonce: the same password never gives the same text twice.
        QVERIFY(aes.Encrypt(password) != stored);
    }

    void readsTextOfOtherImplementations()
    {
        // Made with Python's "cryptography" package (AESGCM), the key built into
        // the library and the nonce 100..111: passwords stored by the terminal
        // application must stay readable.
        bool ok = false;
        QCOMPARE(AES_Encryption().Decrypt("ZGVmZ2hpamtsbW5vp+95QHkwKcSxHBZ7rffXY0xcQR6pzc9//gVs", &ok),
                 QStringLiteral("Grüße1234"));
        QVERIFY(ok);
    }

    void emptyTextMeansNoPassword()
    {
        AES_Encryption aes;
        QVERIFY(aes.Encrypt(QString()).isEmpty());
        QVERIFY(aes.Encrypt(QStringLiteral("")).isEmpty());
        bool ok = false;
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
        AES_Encryption aes;
        QString stored;
        while (!stored.contains(QRegularExpression("[+/]")))
            stored = aes.Encrypt(QStringLiteral("pass word?"));
        QVERIFY(stored.endsWith('='));
        const auto changed = [&](auto&& change) { QString text = stored; change(text); return text; };
        const auto flipped = [&](int position) {
            QByteArray blob = QByteArray::fromBase64(stored.toLatin1());
            const int index = position < 0 ? blob.size() + position : position;
            blob[index] = char(blob.at(index) ^ 0x01);
            return QString::fromLatin1(blob.toBase64());
        };

        // Only canonical, padded, standard base64 is ours.
        QTest::newRow("padding removed") << changed([](QString& t) { while (t.endsWith('=')) t.chop(1); });
        QTest::newRow("space inside") << changed([](QString& t) { t.insert(8, ' '); });
        QTest::newRow("trailing newline") << stored + '\n';
        QTest::newRow("leading space") << ' ' + stored;
        QTest::newRow("invalid character") << changed([](QString& t) { t[5] = '*'; });
        QTest::newRow("url alphabet") << changed([](QString& t) { t.replace('+', '-').replace('/', '_'); });
        QTest::newRow("non-ascii") << changed([](QString& t) { t[3] = QChar(0x00E4); });
        QTest::newRow("truncated") << stored.left(stored.size() - 4);
        QTest::newRow("plain password") << "secret";
        QTest::newRow("only whitespace") << " \t\n";
        // One byte short of nonce and tag; nonce and tag without ciphertext.
        QTest::newRow("27 bytes") << QString::fromLatin1(QByteArray(27, 'a').toBase64());
        QTest::newRow("28 bytes") << QString::fromLatin1(QByteArray(28, '\x5a').toBase64());
        QTest::newRow("nonce first byte flipped") << flipped(0);
        QTest::newRow("nonce last byte flipped") << flipped(11);
        QTest::newRow("ciphertext flipped") << flipped(12);
        QTest::newRow("tag first byte flipped") << flipped(-16);
        QTest::newRow("tag last byte flipped") << flipped(-1);
        QTest::newRow("20 MB of base64") << QString::fromLatin1(QByteArray(20 * 1024 * 1024, 'A').toBase64());
        QTest::newRow("300000 umlauts") << QString(300000, QChar(0x00FC));
    }

    void rejectsAnyOtherText()
    {
        QFETCH(QString, text);
        AES_Encryption aes;
        const QRegularExpression failure("^AES_Encryption: cannot decrypt");
        QTest::ignoreMessage(QtDebugMsg, failure);
        bool ok = true;
        QVERIFY(aes.Decrypt(text, &ok).isEmpty());
        QVERIFY(!ok);
        QTest::ignoreMessage(QtDebugMsg, failure);
        QVERIFY(aes.Decrypt(text).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAesEncryption)
#include "tst_aesencryption.moc"
