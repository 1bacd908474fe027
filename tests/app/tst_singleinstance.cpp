// A second start on a working folder in use: the running copy comes forward, no file changes.

#include "app/singleinstance.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using domiva::SingleInstance;

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void secondStartComesForward() {
        QTemporaryDir cache;
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
        const QDir folder(cache.filePath(QStringLiteral("DomivaDesktop")));
        const auto files = [&folder] { // each file with the time it was written and its bytes
            QStringList result;
            for (const QFileInfo& info : folder.entryInfoList(QDir::Files | QDir::Hidden)) {
                QFile file(info.filePath());
                result << info.fileName() + info.lastModified().toString(Qt::ISODateWithMs) +
                              (file.open(QIODevice::ReadOnly) ? file.readAll() : "");
            }
            return result;
        };
        QProcess killed, second;
        killed.start(QStringLiteral(DOMIVA_EXECUTABLE));
        // The log is written once the copy holds the folder and listens.
        QTRY_VERIFY(folder.exists(QStringLiteral("domiva.log")));
        QVERIFY(!SingleInstance(folder.path()).isFirst());
        // A killed copy leaves its socket behind; neither it nor the lock counts.
        killed.kill();
        QVERIFY(killed.waitForFinished());
        SingleInstance first(folder.path());
        QVERIFY(first.isFirst());
        QSignalSpy asked(&first, &SingleInstance::comeForwardRequested);
        const QStringList before = files();
        second.start(QStringLiteral(DOMIVA_EXECUTABLE));
        QVERIFY(second.waitForFinished());
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(files(), before);
        QTRY_COMPARE(asked.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
