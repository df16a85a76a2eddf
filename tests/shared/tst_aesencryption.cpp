#include "aes_encryption.h"

#include <QRegularExpression>
#include <QtTest>

#include <openssl/evp.h>

class TestAesEncryption : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void emptyTextMeansNoPassword();
    void randomNonceMakesEveryTextDifferent();
    void rejectsMalformedText_data();
    void rejectsMalformedText();
    void rejectsTamperedText_data();
    void rejectsTamperedText();
    void rejectsTextOfAnotherKey();
    void survivesHugeInput();

private:
    void expectFailureMessage();
};

void TestAesEncryption::expectFailureMessage()
{
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^AES_Encryption: cannot decrypt")));
}

void TestAesEncryption::roundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("ascii") << QStringLiteral("Admin1234");
    QTest::newRow("umlauts") << QStringLiteral("Grüße aus Köln ÄÖÜ ß");
    QTest::newRow("one char") << QStringLiteral("x");
    QTest::newRow("fifty chars") << QStringLiteral("0123456789abcdefghijABCDEFGHIJ!\"#$%&'()*+,-./:;<=");
    QTest::newRow("spaces kept") << QStringLiteral("  two sides  ");
    QTest::newRow("beyond latin1") << QStringLiteral("Пароль 密码 \U0001F511");
}

void TestAesEncryption::roundTrip()
{
    QFETCH(QString, password);
    AES_Encryption aes;
    const QString stored = aes.Encrypt(password);
    QVERIFY(!stored.isEmpty());
    // Nonce, UTF-8 ciphertext and tag, in padded standard base64.
    const QByteArray blob = QByteArray::fromBase64(stored.toLatin1());
    if (password.size() >= 4)
        QVERIFY(!blob.contains(password.toUtf8()));
    QCOMPARE(blob.size(), 12 + password.toUtf8().size() + 16);
    QCOMPARE(QString::fromLatin1(blob.toBase64()), stored);

    QCOMPARE(aes.Decrypt(stored), password);
    bool ok = false;
    QCOMPARE(aes.Decrypt(stored, &ok), password);
    QVERIFY(ok);
}

void TestAesEncryption::emptyTextMeansNoPassword()
{
    AES_Encryption aes;
    QVERIFY(aes.Encrypt(QString()).isEmpty());
    QVERIFY(aes.Encrypt(QStringLiteral("")).isEmpty());
    QVERIFY(aes.Decrypt(QString()).isEmpty());
    bool ok = false;
    QVERIFY(aes.Decrypt(QStringLiteral(""), &ok).isEmpty());
    QVERIFY(ok);
}

void TestAesEncryption::randomNonceMakesEveryTextDifferent()
{
    AES_Encryption aes;
    const QString first = aes.Encrypt(QStringLiteral("same"));
    const QString second = aes.Encrypt(QStringLiteral("same"));
    QVERIFY(first != second);
    QCOMPARE(aes.Decrypt(first), QStringLiteral("same"));
    QCOMPARE(aes.Decrypt(second), QStringLiteral("same"));
}

void TestAesEncryption::rejectsMalformedText_data()
{
    QTest::addColumn<QString>("mutation");

    // Each row turns a valid stored text into something that is not one.
    QTest::newRow("padding removed") << "strip-padding";
    QTest::newRow("space inside") << "space-inside";
    QTest::newRow("trailing newline") << "trailing-newline";
    QTest::newRow("leading space") << "leading-space";
    QTest::newRow("invalid character") << "invalid-char";
    QTest::newRow("url alphabet") << "url-alphabet";
    QTest::newRow("non-ascii") << "non-ascii";
    QTest::newRow("truncated") << "truncated";
    QTest::newRow("too short") << "too-short";
    QTest::newRow("plain password") << "plain";
    QTest::newRow("only whitespace") << "whitespace";
}

void TestAesEncryption::rejectsMalformedText()
{
    QFETCH(QString, mutation);
    AES_Encryption aes;
    // Long enough to need padding and to contain '+' or '/' in some rows.
    QString stored;
    for (int attempt = 0; attempt < 200; ++attempt) {
        stored = aes.Encrypt(QStringLiteral("pass word?"));
        if (stored.contains(QLatin1Char('+')) || stored.contains(QLatin1Char('/')))
            break;
    }
    QVERIFY(stored.endsWith(QLatin1Char('=')));

    QString text = stored;
    if (mutation == QLatin1String("strip-padding")) {
        while (text.endsWith(QLatin1Char('=')))
            text.chop(1);
    } else if (mutation == QLatin1String("space-inside")) {
        text.insert(8, QLatin1Char(' '));
    } else if (mutation == QLatin1String("trailing-newline")) {
        text += QLatin1Char('\n');
    } else if (mutation == QLatin1String("leading-space")) {
        text.prepend(QLatin1Char(' '));
    } else if (mutation == QLatin1String("invalid-char")) {
        text[5] = QLatin1Char('*');
    } else if (mutation == QLatin1String("url-alphabet")) {
        QVERIFY(text.contains(QLatin1Char('+')) || text.contains(QLatin1Char('/')));
        text.replace(QLatin1Char('+'), QLatin1Char('-')).replace(QLatin1Char('/'), QLatin1Char('_'));
    } else if (mutation == QLatin1String("non-ascii")) {
        text[3] = QChar(0x00E4);
    } else if (mutation == QLatin1String("truncated")) {
        text.chop(4);
    } else if (mutation == QLatin1String("too-short")) {
        // 27 bytes: one short of nonce and tag.
        text = QString::fromLatin1(QByteArray(27, 'a').toBase64());
    } else if (mutation == QLatin1String("plain")) {
        text = QStringLiteral("secret");
    } else if (mutation == QLatin1String("whitespace")) {
        text = QStringLiteral(" \t\n");
    }

    expectFailureMessage();
    bool ok = true;
    QVERIFY(aes.Decrypt(text, &ok).isEmpty());
    QVERIFY(!ok);
    expectFailureMessage();
    QVERIFY(aes.Decrypt(text).isEmpty());
}

void TestAesEncryption::rejectsTamperedText_data()
{
    QTest::addColumn<int>("position");
    QTest::newRow("nonce first byte") << 0;
    QTest::newRow("nonce last byte") << 11;
    QTest::newRow("ciphertext") << 12;
    QTest::newRow("tag first byte") << -16;
    QTest::newRow("tag last byte") << -1;
}

void TestAesEncryption::rejectsTamperedText()
{
    QFETCH(int, position);
    AES_Encryption aes;
    QByteArray blob = QByteArray::fromBase64(aes.Encrypt(QStringLiteral("Geheim")).toLatin1());
    const int index = position < 0 ? blob.size() + position : position;
    blob[index] = char(blob.at(index) ^ 0x01);

    expectFailureMessage();
    bool ok = true;
    QVERIFY(aes.Decrypt(QString::fromLatin1(blob.toBase64()), &ok).isEmpty());
    QVERIFY(!ok);

    // Nonce and tag alone, without ciphertext, prove nothing either.
    expectFailureMessage();
    QVERIFY(aes.Decrypt(QString::fromLatin1(QByteArray(28, '\x5a').toBase64()), &ok).isEmpty());
    QVERIFY(!ok);
}

void TestAesEncryption::rejectsTextOfAnotherKey()
{
    // Well-formed AES-256-GCM under a key that is not the library's.
    unsigned char key[32];
    unsigned char nonce[12];
    for (int i = 0; i < 32; ++i)
        key[i] = static_cast<unsigned char>(i * 13 + 1);
    for (int i = 0; i < 12; ++i)
        nonce[i] = static_cast<unsigned char>(i + 100);
    const QByteArray plain("Admin1234");
    QByteArray blob(12 + plain.size() + 16, '\0');
    memcpy(blob.data(), nonce, 12);
    auto* cipher = reinterpret_cast<unsigned char*>(blob.data()) + 12;
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    int length = 0;
    int finalLength = 0;
    QVERIFY(EVP_EncryptInit_ex(context, EVP_aes_256_gcm(), nullptr, key, nonce) == 1);
    QVERIFY(EVP_EncryptUpdate(context, cipher, &length,
                              reinterpret_cast<const unsigned char*>(plain.constData()), plain.size()) == 1);
    QVERIFY(EVP_EncryptFinal_ex(context, cipher + length, &finalLength) == 1);
    QVERIFY(EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_GCM_GET_TAG, 16, cipher + plain.size()) == 1);
    EVP_CIPHER_CTX_free(context);

    AES_Encryption aes;
    expectFailureMessage();
    bool ok = true;
    QVERIFY(aes.Decrypt(QString::fromLatin1(blob.toBase64()), &ok).isEmpty());
    QVERIFY(!ok);
}

void TestAesEncryption::survivesHugeInput()
{
    AES_Encryption aes;
    bool ok = true;
    const QString huge = QString::fromLatin1(QByteArray(20 * 1024 * 1024, 'A').toBase64());
    expectFailureMessage();
    QVERIFY(aes.Decrypt(huge, &ok).isEmpty());
    QVERIFY(!ok);

    const QString noise(300000, QChar(0x00FC));
    expectFailureMessage();
    QVERIFY(aes.Decrypt(noise, &ok).isEmpty());
    QVERIFY(!ok);

    // A longest password still fits; a longer one is refused rather than
    // stored as a text that Decrypt would not take.
    const QString longest(40000, QLatin1Char('p'));
    QCOMPARE(aes.Decrypt(aes.Encrypt(longest)), longest);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^AES_Encryption: cannot encrypt")));
    QVERIFY(aes.Encrypt(QString(60000, QLatin1Char('p'))).isEmpty());
}

QTEST_GUILESS_MAIN(TestAesEncryption)
#include "tst_aesencryption.moc"
