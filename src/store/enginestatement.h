#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>
#include <QStringEncoder>
#include <QStringView>

#include <map>
#include <memory>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;

// The store's one way to the SQLite C API, for the reads and writes too frequent for Qt's
// per-value overhead and for the connections Qt does not hold (clearing, repairing, the
// checkpointer). Every failure becomes a domiva::Error of sqlutil::engineError.
namespace domiva::sqlutil {

// A connection of the engine's own, closed when the object goes.
class EngineConnection {
public:
    EngineConnection() = default;
    // Opens the file (a "file:" URI when flags hold SQLITE_OPEN_URI). Throws domiva::Error.
    EngineConnection(const QByteArray& name, int flags);
    ~EngineConnection();
    EngineConnection(EngineConnection&& other) noexcept;
    EngineConnection& operator=(EngineConnection&& other) noexcept;
    EngineConnection(const EngineConnection&) = delete;
    EngineConnection& operator=(const EngineConnection&) = delete;

    // Opens as the constructor does; an empty connection when the engine refuses the file.
    static EngineConnection tryOpen(const QByteArray& name, int flags) noexcept;

    sqlite3* get() const noexcept { return m_db; }
    explicit operator bool() const noexcept { return m_db != nullptr; }

    // Runs statements that take no values and return no rows. Throws domiva::Error.
    void exec(QLatin1String text);
    void exec(const QString& text);
    // The same, for the ways out of a failure: whether it went through, never throwing.
    bool tryExec(QLatin1String text) noexcept;

private:
    sqlite3* m_db = nullptr;
};

// A prepared statement of the engine. Texts are bound in the engine's own encoding from a
// buffer of the statement's own per position, which keeps its room from one use to the next:
// the engine neither converts nor copies them, and a statement run for every listing allocates
// nothing once its buffers are as long as its longest values.
class EngineStatement {
public:
    // persistent: kept for the life of its owner (SQLITE_PREPARE_PERSISTENT). Throws
    // domiva::Error when the engine refuses the text.
    EngineStatement(sqlite3* db, QLatin1String text, bool persistent = false);
    EngineStatement(sqlite3* db, const QByteArray& text, bool persistent = false);
    ~EngineStatement();
    EngineStatement(const EngineStatement&) = delete;
    EngineStatement& operator=(const EngineStatement&) = delete;

    sqlite3* connection() const noexcept { return m_db; }

    // Binding by position, from 1. A null text is bound as an empty one.
    void bindInt(int position, int value);
    void bindInt64(int position, qint64 value);
    void bindDouble(int position, double value);
    void bindNull(int position);
    void bindText(int position, QStringView text);
    // UTF-8 bytes the caller keeps unchanged until the statement is reset.
    void bindUtf8(int position, const QByteArray& bytes);
    // A value the caller keeps (sqlite3_value_dup of a column); the engine copies it.
    void bindValue(int position, const sqlite3_value* value);
    // A pointer of the given type for an SQL function of the program's own.
    void bindPointer(int position, void* pointer, const char* type);

    // Steps once: whether a row came. Throws domiva::Error.
    bool step();
    // Ends the run and forgets the values bound, releasing any read snapshot.
    void reset() noexcept;

    qint64 integer(int column) const;
    double real(int column) const;
    bool isNull(int column) const;
    bool isText(int column) const;
    QString text(int column) const;
    // The column's value as the engine holds it, valid until the next step or reset.
    sqlite3_value* value(int column) const;
    // The rows the last statement on the connection changed, and the last rowid it inserted.
    int changes() const;
    qint64 lastRowid() const;

    // One run: values bound in order from position 1, reset however the run ends, so no read
    // snapshot outlives the operation.
    class Use {
    public:
        explicit Use(EngineStatement& statement) : m_s(statement) {}
        ~Use() { m_s.reset(); }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        Use& bind(qint64 value) {
            m_s.bindInt64(++m_position, value);
            return *this;
        }
        Use& bind(double value) {
            m_s.bindDouble(++m_position, value);
            return *this;
        }
        Use& bind(QStringView text) {
            m_s.bindText(++m_position, text);
            return *this;
        }
        Use& bindNull() {
            m_s.bindNull(++m_position);
            return *this;
        }
        bool step() { return m_s.step(); }
        qint64 integer(int column) const { return m_s.integer(column); }
        double real(int column) const { return m_s.real(column); }
        bool isNull(int column) const { return m_s.isNull(column); }
        bool isText(int column) const { return m_s.isText(column); }
        QString text(int column) const { return m_s.text(column); }
        int changes() const { return m_s.changes(); }
        qint64 lastRowid() const { return m_s.lastRowid(); }

    private:
        EngineStatement& m_s;
        int m_position = 0;
    };

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    QStringEncoder m_utf8{QStringEncoder::Utf8, QStringEncoder::Flag::Stateless};
    std::vector<QByteArray> m_texts; // by position, from 1
};

// The statements of the catalogue a unit runs on one connection, prepared at first use and
// kept for the life of the object, which must not outlive the connection.
class EngineStatements {
public:
    explicit EngineStatements(sqlite3* db) : m_db(db) {}
    EngineStatement& operator()(QLatin1String text);

private:
    sqlite3* m_db;
    std::map<const char*, std::unique_ptr<EngineStatement>> m_statements;
};

} // namespace domiva::sqlutil
