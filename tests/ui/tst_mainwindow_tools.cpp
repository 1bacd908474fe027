// The commands for working through listings in the main window over a real database: marking
// a search read, the quick filter, copying a listing and saving a search as CSV.

#include "store/flathistory.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "ui/accessibilitytestsupport.h"
#include "ui/datagrid.h"
#include "ui/detailspanel.h"
#include "ui/listingcommands.h"
#include "ui/tst_mainwindow_support.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

using namespace domiva;
using namespace domiva::test;
using namespace Qt::StringLiterals;

namespace {

struct Fixture {
    Sandbox sandbox;
    RecordedBoxes recorded;
    std::unique_ptr<TfrmMain> window;
    ListingCommands* commands = nullptr;

    // Search 10: a1 .. a3 (a3 newest), "Сокол" in a1's and a3's addresses; search 20: b1.
    Fixture() {
        {
            auto db = sandbox.createDb();
            db->storeQuery(10, u"Однушки"_s);
            db->storeQuery(20, u"Двушки"_s);
            db->insertOffer(listing(u"a1"_s, 10, at(2024, 3, 1, 10, 30), u" у м. Сокол"_s));
            db->insertOffer(listing(u"a2"_s, 10, at(2024, 3, 2), u" у парка"_s));
            db->insertOffer(listing(u"a3"_s, 10, at(2024, 3, 3, 9, 5), u" СОКОЛЬНИКИ"_s));
            db->insertOffer(listing(u"b1"_s, 20, at(2024, 2, 1, 12), u" у м. Сокол"_s));
            // a1's flat was posted before, under an id long gone.
            FlatHistory history(*db);
            const flatkey::FlatFields flat{u"Арбат 1", u"2", u"3/9", u"89161234567"};
            history.record(u"a0", 20, flat, u"40 000", at(2024, 1, 5, 8), 1'800'000'000);
            history.record(u"a1", 10, flat, u"35 000", at(2024, 3, 1, 10, 30), 1'800'000'000);
            QVERIFY(history.storePendingKeys(10));
        }
        window = startWindow();
        commands = window->listingCommands();
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        click(window->dbgQueries, 0, u"qname"_s);
    }

    void click(DataGrid* grid, int row, const QString& field) {
        const QModelIndex index = grid->model()->index(row, fieldColumn(grid->model(), field));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
        QVERIFY(listingsRead(*window));
        QVERIFY(readsAnswered(*window));
    }
    // Types text as keystrokes (keyClicks takes Latin-1 only).
    static void type(QWidget* widget, const QString& text) {
        for (const QChar c : text)
            QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    QStringList offerKeys() const {
        QStringList keys;
        for (int row = 0; row < window->offersModel()->rowCount(); ++row)
            keys << window->offersModel()->keyOfRow(row).toString();
        return keys;
    }
    QString stored(const QString& sql) { return RawConnection(sandbox.dbPath()).value(sql); }
};

} // namespace

class TestMainWindowTools : public QObject {
    Q_OBJECT

private slots:
    void markSearchRead_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Ctrl+Shift+R") << u"key"_s;
        QTest::newRow("context menu") << u"menu"_s;
        // A sync removes the search while its menu is open: the menu's row now shows another.
        QTest::newRow("context menu, search removed") << u"menu, removed"_s;
    }
    void markSearchRead() {
        QFETCH(QString, how);
        Fixture f;
        QTest::keyClick(f.window->dbgOffers, Qt::Key_Down); // moves the cursor, reads nothing
        if (how == u"key"_s) {
            QTest::keyClick(f.window->dbgQueries, Qt::Key_R,
                            Qt::ControlModifier | Qt::ShiftModifier);
        } else {
            DataGrid* grid = f.window->dbgQueries;
            emit grid->customContextMenuRequested(
                grid->visualRect(grid->model()->index(0, 1)).center());
            QTRY_VERIFY(QApplication::activePopupWidget() != nullptr);
            if (how == u"menu, removed"_s) {
                RawConnection(f.sandbox.dbPath())
                    .exec(u"DELETE FROM Offers WHERE qid=10; DELETE FROM Queries WHERE id=10"_s);
                f.window->queriesModel()->refresh();
            }
            f.commands->markReadAction()->trigger();
            QApplication::activePopupWidget()->close();
        }
        // Marked beside the window, which is busy until then.
        QTRY_VERIFY(!f.window->syncBusy());
        QVERIFY(listingsRead(*f.window));
        if (how == u"menu, removed"_s) {
            QCOMPARE(f.stored(u"SELECT group_concat(unreaded) FROM Offers"_s), u"1"_s);
            return;
        }
        QCOMPARE(f.stored(u"SELECT group_concat(unreaded) FROM Offers"_s), u"0,0,0,1"_s);
        QCOMPARE(f.window->queriesModel()->rowValues(0, Qt::EditRole).value(u"unreaded"_s),
                 QVariant(false));
        for (int row = 0; row < 3; ++row)
            QCOMPARE(f.window->offersModel()->rowValues(row, Qt::EditRole).value(u"unreaded"_s),
                     QVariant(false));
        QCOMPARE(f.window->dbgOffers->currentIndex().row(), 1);
        QCOMPARE(f.window->dbgQueries->currentIndex().row(), 0);
        QVERIFY(f.recorded.boxes.shown.isEmpty());
    }

    void filter() {
        Fixture f;
        OffersModel* offers = f.window->offersModel();
        offers->setFilterSlice(1, 1000); // a listing a turn
        QTest::keyClick(f.window.get(), Qt::Key_F, Qt::ControlModifier);
        QVERIFY(f.commands->filterBar()->isVisible());
        QCOMPARE(QApplication::focusWidget(), f.commands->filterEdit());
        // A screen reader finds the line's clear button by name.
        const auto clearButtons = f.commands->filterEdit()->findChildren<QToolButton*>();
        QCOMPARE(clearButtons.size(), 1);
        QCOMPARE(accessibleOf(clearButtons[0])->text(QAccessible::Name), u"Очистить фильтр"_s);
        GridAnnouncements heard;
        // Further keystrokes start a running filter over.
        f.type(f.commands->filterEdit(), u"с"_s);
        f.commands->applyFilter();
        QVERIFY(offers->filterScanning());
        f.type(f.commands->filterEdit(), u"окол"_s);
        QTRY_VERIFY(!offers->filterScanning());
        QCOMPARE(f.offerKeys(), (QStringList{u"a3"_s, u"a1"_s}));
        // The listings' cursor followed the filter, the keyboard stayed in the line: a screen
        // reader is not taken away from it.
        QCOMPARE(QApplication::focusWidget(), f.commands->filterEdit());
        QVERIFY(heard.of(QAccessible::Focus).isEmpty());
        // Clicking a filtered row opens that listing.
        f.click(f.window->dbgOffers, 1, u"metro_obj"_s);
        QCOMPARE(f.window->pnlBottom->lblMetro_obj->text(),
                 u"Профсоюзная, ул. Вавилова 5 у м. Сокол"_s);
        QCOMPARE(f.stored(u"SELECT group_concat(id) FROM Offers WHERE unreaded=0"_s), u"a1"_s);
        // Read anew, the cursor goes back to it once the filter finds it again.
        offers->refresh();
        QTRY_COMPARE(f.window->dbgOffers->currentIndex().row(), 1);
        // Escape clears it, and the cursor stays on the listing, where a screen reader is
        // taken back to.
        f.commands->filterEdit()->setFocus();
        heard.all.clear();
        QTest::keyClick(f.commands->filterEdit(), Qt::Key_Escape);
        QVERIFY(!f.commands->filterBar()->isVisible());
        QVERIFY(listingsRead(*f.window));
        QCOMPARE(f.offerKeys(), (QStringList{u"a3"_s, u"a2"_s, u"a1"_s}));
        QCOMPARE(f.window->dbgOffers->currentIndex().row(), 2);
        QTRY_VERIFY(!heard.of(QAccessible::Focus).isEmpty());
        QCOMPARE(heard.of(QAccessible::Focus).last().grid, f.window->dbgOffers);
        QCOMPARE(heard.of(QAccessible::Focus).last().row, 2);
        // Also from the listings it narrowed.
        f.commands->openFilter();
        f.type(f.commands->filterEdit(), u"сокол"_s);
        QTRY_VERIFY(!offers->filterScanning());
        QTest::keyClick(f.commands->filterEdit(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.window->dbgOffers);
        QTest::keyClick(f.window->dbgOffers, Qt::Key_Escape);
        QVERIFY(listingsRead(*f.window));
        QCOMPARE(f.offerKeys(), (QStringList{u"a3"_s, u"a2"_s, u"a1"_s}));
        // So does selecting another search.
        f.commands->openFilter();
        f.type(f.commands->filterEdit(), u"ПАРК"_s);
        QTRY_COMPARE(f.offerKeys(), QStringList{u"a2"_s});
        // Selecting another search stops a running filter.
        offers->refresh();
        QVERIFY(offers->filterScanning());
        f.click(f.window->dbgQueries, 1, u"qname"_s);
        QVERIFY(!offers->filterScanning());
        QCOMPARE(f.commands->filterEdit()->text(), QString());
        QCOMPARE(f.offerKeys(), QStringList{u"b1"_s});
    }

    void copyListing() {
        Fixture f;
        f.window->dbgOffers->setFocus();
        QTest::keyClick(f.window->dbgOffers, Qt::Key_End);
        QTest::keyClick(f.window->dbgOffers, Qt::Key_C, Qt::ControlModifier);
        const QString copied = QApplication::clipboard()->text();
        QCOMPARE(f.stored(u"SELECT COUNT(*) FROM Offers WHERE unreaded=0"_s), u"0"_s);
        // The same lines as the details panel shows once the listing is opened.
        f.click(f.window->dbgOffers, 2, u"metro_obj"_s);
        QStringList lines;
        for (const QLabel* value : f.window->pnlBottom->valueLabels())
            lines << f.window->pnlBottom->captionLabels()[lines.size()]->text() + value->text();
        // Its earlier appearance last.
        QVERIFY(f.window->pnlBottom->lblEarlier->text().endsWith(u" — 40 000"_s));
        lines << f.window->pnlBottom->lblEarlierCaption->text() +
                     f.window->pnlBottom->lblEarlier->text();
        QCOMPARE(copied, lines.join(u'\n'));
        // Another listing's panel shows none.
        f.click(f.window->dbgOffers, 1, u"metro_obj"_s);
        QCOMPARE(f.window->pnlBottom->lblEarlier->text(), QString());
    }

    void exportSearch_data() {
        QTest::addColumn<bool>("programEnds"); // while the export runs
        QTest::newRow("to its end") << false;
        QTest::newRow("the program ends meanwhile") << true;
    }
    void exportSearch() {
        QFETCH(bool, programEnds);
        Fixture f;
        const QString path = f.sandbox.cacheDir() + u"out.csv"_s;
        f.commands->pickExportFile = [&path](const QString&) { return path; };
        f.commands->exportChunkRows = 1;
        f.commands->exportAction()->trigger();
        if (programEnds) {
            f.window->formDestroy();
            // Either written whole before the end, or no file and a word in the log.
            const QStringList told = f.sandbox.logMessages().filter(u"not finished"_s);
            if (QFile::exists(path))
                QCOMPARE(f.sandbox.fileBytes(path).count("\r\n"), 4);
            else
                QCOMPARE(told, QStringList{u"CSV export to "_s + path +
                                           u" not finished: the program ended"_s});
            QCOMPARE(told.isEmpty(), QFile::exists(path));
            QCOMPARE(f.sandbox.logMessages().last(), u"Shutdown"_s);
            return;
        }
        QTRY_VERIFY(!f.commands->exportRunning());
        const QStringList lines = QString::fromUtf8(f.sandbox.fileBytes(path)).split(u"\r\n"_s);
        QStringList header; // the panel's captions without ": "
        for (const QLabel* caption : f.window->pnlBottom->captionLabels())
            header << caption->text().chopped(2);
        header << u"Ранее"_s;
        QCOMPARE(lines.mid(0, 1), QStringList{header.join(u',')});
        // The re-post's earlier appearance in the last column.
        QVERIFY2(lines.value(3).endsWith(u" — 40 000"_s), qPrintable(lines.value(3)));
        QCOMPARE(lines.size(), 5); // three listings and the empty end
    }
};

QTEST_MAIN(TestMainWindowTools)
#include "tst_mainwindow_tools.moc"
