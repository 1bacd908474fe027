#pragma once

#include "core/error.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLineEdit;
class QProgressDialog;
class QPoint;
class QWidget;

namespace domiva {

class ListingsView;
class StoreSession;

// The commands for working through listings, beside the main menu: marking a whole search
// read, saving a search's listings as CSV (both in the searches grid's context menu), copying
// a listing (the listings grid's context menu and Ctrl+C) and the quick filter above the
// listings grid (Ctrl+F). None of them marks a listing read or changes what the grids' own
// clicks do.
class ListingCommands : public QObject {
    Q_OBJECT

public:
    // The wait between the last keystroke and the filter being applied: none beyond the
    // keystrokes already queued, since the filter holds the window for one short slice only
    // and the next keystroke starts it over.
    static constexpr int filterDelayMs = 0;

    // Runs a command's handler, reporting whatever error escapes it.
    using Reporter = std::function<void(const std::function<void()>&)>;

    // The commands act on the view's grids and the session's file; `window` holds their
    // shortcuts and is the parent of their boxes and dialogs.
    ListingCommands(ListingsView* view, StoreSession* session, Reporter reported, QWidget* window);
    ~ListingCommands() override;

    // Chooses the file the listings are saved to; an empty name cancels. The file dialog
    // unless a test puts something else here.
    std::function<QString(const QString& suggestedName)> pickExportFile;
    // How many listings the data thread writes between two other reads.
    int exportChunkRows = 2000;

    QAction* markReadAction() const { return m_markRead; }
    QAction* exportAction() const { return m_export; }
    QAction* copyAction() const { return m_copy; }
    QAction* filterAction() const { return m_filter; }
    QWidget* filterBar() const { return m_filterBar; }
    QLineEdit* filterEdit() const { return m_filterEdit; }

    // The listings now show another search (or were opened anew): the filter is gone.
    void resetFilter();

public slots:
    // The search in the given row of the searches grid, or the grid's current one for -1.
    void markSearchRead(int row = -1);
    void exportSearch(int row = -1);
    void copyListing();
    void openFilter();
    void closeFilter();
    // Applies the filter line's text now.
    void applyFilter();
    // The data thread's answer to markSearchRead.
    void searchMarkedRead(qint32 qid, const std::optional<domiva::Error>& failure);

public:
    // Whether a CSV export is under way (one at a time).
    bool exportRunning() const;
    // The file it writes; empty when none runs.
    QString exportPath() const;
    // Stops it at its next chunk, leaving no file (unless it was written whole by then), and
    // returns the file it was writing; empty when none ran.
    QString cancelExport();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showQueriesMenu(const QPoint& pos);
    void showOffersMenu(const QPoint& pos);
    // The search a command acts on: the given row's, else the one the open context menu was
    // opened on, else the one under the cursor.
    QVariant targetQuery(int row) const;
    struct ExportRun;
    // Has the data thread write the file.
    void runExport(qint32 qid, const QString& path);
    // The grids after a search was marked read.
    void showSearchRead(const QVariant& qid);
    // Following the filter's progress in the listings model shown now.
    void watchOffers();
    void offersAboutToReset();
    void offersReset();
    void offersFound(const QModelIndex& parent, int first);
    void offersScanFinished();
    // Puts the cursor on m_pendingKey once it is among the rows; forgets it once it cannot be.
    void placePendingCursor();

    QWidget* m_window;
    ListingsView* m_view;
    StoreSession* m_session;
    Reporter m_reported;
    QAction* m_markRead = nullptr;
    QAction* m_export = nullptr;
    QAction* m_copy = nullptr;
    QAction* m_filter = nullptr;
    QWidget* m_filterBar = nullptr;
    QLineEdit* m_filterEdit = nullptr;
    QTimer m_filterDelay;
    // The search the open context menu of the searches grid was opened on.
    QVariant m_menuQid;
    std::unique_ptr<ExportRun> m_exportRun;
    // The listing the cursor goes back to once the running filter finds it again after the
    // listings were read anew (a sync); null when there is none to wait for.
    QVariant m_pendingKey;
    bool m_applying = false;
};

} // namespace domiva
