#pragma once

// What the tests of the main window's commands share: a window over two stored searches, the
// service stood in for, and ways to act on what the window opens.

#include "env/environment.h"
#include "settings/settings.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/recovery.h"
#include "support/fakeservice.h"
#include "ui/aboutdialog.h"
#include "ui/datagrid.h"
#include "ui/detailspanel.h"
#include "ui/listingcommands.h"
#include "ui/setupdialog.h"
#include "ui/trayicon.h"
#include "ui/tst_mainwindow_support.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTimer>

#include <functional>

namespace domiva::test {

inline const QByteArray get20("/db/demo/get20.txt");

inline QByteArray cp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    return encoder.encode(text);
}

inline FakeService::Answer feed(const QString& text, std::chrono::milliseconds delay = {}) {
    FakeService::Answer answer;
    answer.body = cp1251(text);
    answer.delay = delay;
    return answer;
}

// The same two searches as stored before a sync, and the feed that brings one more listing.
inline void fillDatabase(Database& db) {
    db.storeQuery(10, QStringLiteral("Однушки у метро"));
    db.storeQuery(20, QStringLiteral("Двушки"));
    db.insertOffer(listing(QStringLiteral("a1"), 10, at(2024, 3, 1, 10, 30)));
    db.insertOffer(listing(QStringLiteral("a2"), 10, at(2024, 3, 2, 11, 0)));
    db.insertOffer(listing(QStringLiteral("b1"), 20, at(2024, 2, 1, 12, 0)));
}

inline const QString newListingFeed =
    QStringLiteral("R#10#Однушки у метро\r\n"
                   "D#n1#7 мин#Тверская, 1#1#8#40 000#50%#3/9#м#Иван#"
                   "Светлая#собственник#05.03.24 09:15\r\n");

struct Fixture {
    Sandbox sandbox;
    FakeService service;
    RecordedBoxes recorded;
    std::unique_ptr<TfrmMain> window;

    // beforeStart may change the database file once it is filled and closed.
    explicit Fixture(const QByteArray& mainSection = {},
                     const std::function<void(const QString&)>& beforeStart = {}) {
        sandbox.writeFile(sandbox.settingsPath(),
                          mainSection + "[service]\nhost=" + service.hostAndPort().toUtf8() +
                              "\nsite=http://site.example/\n");
        fillDatabase(*sandbox.createDb());
        if (beforeStart)
            beforeStart(sandbox.dbPath());
        window = startWindow();
    }
    // A test that synced has the timer running for the next sync: it must not fire while the
    // window goes.
    ~Fixture() {
        if (window)
            window->refreshTimer().setEnabled(false);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    bool show() {
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }

    void selectSearch(int row) {
        DataGrid* grid = window->dbgQueries;
        const QModelIndex index =
            grid->model()->index(row, fieldColumn(grid->model(), QStringLiteral("qname")));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
        QVERIFY(listingsRead(*window));
    }
    void selectListing(int row) {
        DataGrid* grid = window->dbgOffers;
        const QModelIndex index =
            grid->model()->index(row, fieldColumn(grid->model(), QStringLiteral("metro_obj")));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
        QVERIFY(readsAnswered(*window));
    }

    bool synced() { return syncEnded(*window); }

    QString stored(const QString& sql) { return RawConnection(sandbox.dbPath()).value(sql); }
    QStringList storedRows(const QString& sql) { return RawConnection(sandbox.dbPath()).rows(sql); }
};

// Runs `action` from inside the application's event loop and returns when the loop ends, or
// false after `limit` without an end.
inline bool runEventLoop(const std::function<void()>& action, int limit = 10'000) {
    bool timedOut = false;
    QTimer::singleShot(0, qApp, action);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [&timedOut] {
        timedOut = true;
        QCoreApplication::quit();
    });
    guard.start(limit);
    QApplication::exec();
    return !timedOut;
}

// Acts on the modal dialog that the code under test opens, once it is open.
template <typename Dialog> void whenOpen(const std::function<void(Dialog*)>& action) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, action] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        poll->stop();
        poll->deleteLater();
        action(dialog);
    });
    poll->start(10);
}

// A window whose tray icon is there or not, as the test says.
class TrayWindow : public TfrmMain {
public:
    bool trayShown = false;

protected:
    bool trayIconShown() const override { return trayShown; }
};

} // namespace domiva::test
