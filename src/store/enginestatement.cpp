#include "store/enginestatement.h"

#include "core/error.h"
#include "store/sqlutil.h"

#include <sqlite3.h>

#include <utility>

namespace domiva::sqlutil {

EngineConnection::EngineConnection(const QByteArray& name, int flags) {
    sqlite3* opened = nullptr;
    const int rc = sqlite3_open_v2(name.constData(), &opened, flags, nullptr);
    m_db = opened;
    if (rc == SQLITE_OK)
        return;
    if (opened == nullptr)
        throw Error(QString::fromUtf8(sqlite3_errstr(rc)));
    Error error = engineError(opened);
    sqlite3_close(opened);
    m_db = nullptr;
    throw error;
}

EngineConnection EngineConnection::tryOpen(const QByteArray& name, int flags) noexcept {
    try {
        return EngineConnection(name, flags);
    } catch (const Error&) {
        return EngineConnection();
    }
}

EngineConnection::~EngineConnection() {
    sqlite3_close(m_db);
}

EngineConnection::EngineConnection(EngineConnection&& other) noexcept
    : m_db(std::exchange(other.m_db, nullptr)) {}

EngineConnection& EngineConnection::operator=(EngineConnection&& other) noexcept {
    if (this != &other) {
        sqlite3_close(m_db);
        m_db = std::exchange(other.m_db, nullptr);
    }
    return *this;
}

void EngineConnection::exec(QLatin1String text) {
    // The catalogue's texts end in a zero.
    if (sqlite3_exec(m_db, text.data(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw engineError(m_db);
}

void EngineConnection::exec(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    if (sqlite3_exec(m_db, utf8.constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw engineError(m_db);
}

bool EngineConnection::tryExec(QLatin1String text) noexcept {
    return sqlite3_exec(m_db, text.data(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

namespace {

sqlite3_stmt* prepareText(sqlite3* db, const char* text, qsizetype size, bool persistent) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, text, int(size), persistent ? SQLITE_PREPARE_PERSISTENT : 0, &stmt,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        throw engineError(db);
    }
    return stmt;
}

} // namespace

EngineStatement::EngineStatement(sqlite3* db, QLatin1String text, bool persistent)
    : m_db(db), m_stmt(prepareText(db, text.data(), text.size(), persistent)) {}

EngineStatement::EngineStatement(sqlite3* db, const QByteArray& text, bool persistent)
    : m_db(db), m_stmt(prepareText(db, text.constData(), text.size(), persistent)) {}

EngineStatement::~EngineStatement() {
    sqlite3_finalize(m_stmt);
}

void EngineStatement::bindInt(int position, int value) {
    sqlite3_bind_int(m_stmt, position, value);
}

void EngineStatement::bindInt64(int position, qint64 value) {
    sqlite3_bind_int64(m_stmt, position, value);
}

void EngineStatement::bindDouble(int position, double value) {
    sqlite3_bind_double(m_stmt, position, value);
}

void EngineStatement::bindNull(int position) {
    sqlite3_bind_null(m_stmt, position);
}

void EngineStatement::bindText(int position, QStringView text) {
    if (m_texts.size() < std::size_t(position))
        m_texts.resize(std::size_t(position));
    QByteArray& buffer = m_texts[std::size_t(position - 1)];
    const qsizetype room = m_utf8.requiredSpace(text.size());
    // Never empty: a null text is stored as an empty one, like everywhere else in the store.
    if (buffer.size() < room || buffer.isEmpty())
        buffer.resize(std::max<qsizetype>(room, 1));
    const char* const end = m_utf8.appendToBuffer(buffer.data(), text);
    sqlite3_bind_text(m_stmt, position, buffer.constData(), int(end - buffer.constData()),
                      SQLITE_STATIC);
}

void EngineStatement::bindUtf8(int position, const QByteArray& bytes) {
    sqlite3_bind_text(m_stmt, position, bytes.constData(), int(bytes.size()), SQLITE_STATIC);
}

void EngineStatement::bindValue(int position, const sqlite3_value* value) {
    sqlite3_bind_value(m_stmt, position, value);
}

void EngineStatement::bindPointer(int position, void* pointer, const char* type) {
    sqlite3_bind_pointer(m_stmt, position, pointer, type, nullptr);
}

bool EngineStatement::step() {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        throw engineError(m_db);
    return false;
}

void EngineStatement::reset() noexcept {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

qint64 EngineStatement::integer(int column) const {
    return sqlite3_column_int64(m_stmt, column);
}

double EngineStatement::real(int column) const {
    return sqlite3_column_double(m_stmt, column);
}

bool EngineStatement::isNull(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

bool EngineStatement::isText(int column) const {
    return sqlite3_column_type(m_stmt, column) == SQLITE_TEXT;
}

QString EngineStatement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, column));
    return QString::fromUtf8(data, sqlite3_column_bytes(m_stmt, column));
}

sqlite3_value* EngineStatement::value(int column) const {
    return sqlite3_column_value(m_stmt, column);
}

int EngineStatement::changes() const {
    return sqlite3_changes(m_db);
}

qint64 EngineStatement::lastRowid() const {
    return sqlite3_last_insert_rowid(m_db);
}

EngineStatement& EngineStatements::operator()(QLatin1String text) {
    auto found = m_statements.find(text.data());
    if (found == m_statements.end())
        found =
            m_statements.emplace(text.data(), std::make_unique<EngineStatement>(m_db, text, true))
                .first;
    return *found->second;
}

} // namespace domiva::sqlutil
