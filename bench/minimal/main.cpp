// The least a Qt Widgets program does to put one 800 x 480 window on screen,
// living the same life as the updater on an empty device: the first line goes
// to the log from the event loop's first timer, then the program polls the
// installer directory every 100 ms and ends when it is gone.
//
//   minimal-widgets DIRECTORY [--label]     (log file: DIRECTORY/log.txt)
//
// With --label the window is a QLabel showing one line of text, Qt's own
// "hello world": the first text on screen costs the font set-up, which any
// program with text pays and a bare window does not.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <cstring>
#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString directory = QString::fromLocal8Bit(argv[1]);
    const bool withLabel = argc > 2 && std::strcmp(argv[2], "--label") == 0;

    std::unique_ptr<QWidget> window(withLabel ? new QLabel(QStringLiteral("Hello world")) : new QWidget);
    window->resize(800, 480);
    window->show();

    QTimer::singleShot(0, window.get(), [&directory] {
        QFile log(directory + QStringLiteral("/log.txt"));
        if (log.open(QIODevice::WriteOnly | QIODevice::Append))
            log.write("started\n");
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&directory] {
        if (!QDir(directory).exists())
            QCoreApplication::exit(0);
    });
    poll.start(100);
    return app.exec();
}
