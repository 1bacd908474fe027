// The program entry: the application object, the main window, the event loop.

#include "app/singleinstance.h"
#include "app/terminationsignals.h"
#include "core/error.h"
#include "env/environment.h"
#include "ui/icons.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QtGlobal>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Before anything is written: a copy already running on the working folder is asked to
    // come forward, and this one ends leaving its files (log, settings, database) as they are.
    const QString workDir = domiva::workingFolder();
    try {
        domiva::createWorkingFolder(workDir);
    } catch (const domiva::Error&) {
        // Start-up reports the folder before it writes anything.
    }
    const domiva::SingleInstance instance(workDir);
    if (!instance.isFirst())
        return 0;
    // The program's title is the caption of its boxes (set on each) and of its window. Qt
    // would append an application display name to every window title here ("Домива - BETA —
    // Домива"), so none is set.
    QApplication::setWindowIcon(domiva::appIcon());
    // Ties the window to the installed menu entry (and its icon) on the desktop.
    QGuiApplication::setDesktopFileName(QStringLiteral("domiva"));
    QApplication::setFont(domiva::TfrmMain::windowFont());
    // Closing the main window ends the program through the window itself, which knows
    // whether a sync has to finish first.
    QApplication::setQuitOnLastWindowClosed(false);

    // The program speaks Russian whatever the user's locale: so do Qt's own buttons.
    // The copy installed with the program comes first, Qt's own (if any) after it.
    QTranslator qtTranslations;
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    for (const QString& folder :
         {QCoreApplication::applicationDirPath() + QStringLiteral("/../share/domiva/translations"),
          QLibraryInfo::path(QLibraryInfo::TranslationsPath)}) {
        if (qtTranslations.load(russian, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
            QApplication::installTranslator(&qtTranslations);
            break;
        }
    }

    // Installed before start-up, so that a termination asked for during it is not lost; it
    // outlives the window, so one that comes during shut-down cannot cut it short.
    std::unique_ptr<domiva::TerminationSignals> termination;
    try {
        termination = std::make_unique<domiva::TerminationSignals>();
    } catch (const domiva::Error& error) {
        qWarning("%s", error.what());
    }

    int result = 0;
    {
        domiva::TfrmMain window;
        if (termination)
            QObject::connect(termination.get(), &domiva::TerminationSignals::terminationRequested,
                             &window, &domiva::TfrmMain::endSession);
        window.formCreate();
        // A program asked to end during its start-up never shows its window.
        if (!window.terminationRequested())
            window.show();
        // Connected once start-up is over: the window shows anyway right after it.
        QObject::connect(&instance, &domiva::SingleInstance::comeForwardRequested, &window,
                         &domiva::TfrmMain::restoreFromTray);
        result = QApplication::exec();
    }
    return result;
}
