#ifndef SIGNALLOG_H
#define SIGNALLOG_H

#include <QMetaMethod>
#include <QSignalSpy>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <vector>

// Spies on every signal a key window declares above QWidget and hands back
// what was emitted as text ("characterGenerated(U+0041)", "notifyShiftPressed()"),
// so a test can demand exactly one signal and no other.
class SignalLog
{
public:
    explicit SignalLog(QObject *window)
    {
        for (const QMetaMethod &method : ownSignals(window)) {
            names.push_back(QString::fromLatin1(method.name()));
            spies.push_back(std::make_unique<QSignalSpy>(window, QByteArray("2") + method.methodSignature()));
        }
    }

    QStringList take()
    {
        QStringList emitted;
        for (std::size_t i = 0; i < spies.size(); ++i) {
            for (const QList<QVariant> &args : *spies[i])
                emitted << (args.isEmpty() ? names[i] + QStringLiteral("()")
                                           : describe(names[i], args.first().value<QChar>().unicode()));
            spies[i]->clear();
        }
        return emitted;
    }

    static QString describe(const QString &signal, char16_t c)
    {
        return QStringLiteral("%1(U+%2)").arg(signal, QString::number(int(c), 16).toUpper().rightJustified(4, QLatin1Char('0')));
    }

private:
    static std::vector<QMetaMethod> ownSignals(QObject *window)
    {
        std::vector<QMetaMethod> found;
        const QMetaObject *meta = window->metaObject();
        for (int i = QWidget::staticMetaObject.methodCount(); i < meta->methodCount(); ++i) {
            if (meta->method(i).methodType() == QMetaMethod::Signal)
                found.push_back(meta->method(i));
        }
        return found;
    }

    std::vector<QString> names;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

#endif // SIGNALLOG_H
