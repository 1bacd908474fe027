#include "store/csvexport.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/earlierappearances.h"
#include "store/sqlutil.h"
#include "store/statements.h"
#include "store/tablemodel.h"

#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <utility>

namespace domiva {

using namespace sqlutil;

namespace {

QString nonNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

} // namespace

QString csvRecord(const QStringList& fields) {
    QString line;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += QLatin1Char(',');
        const QString& field = fields[i];
        const bool quoted = field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"')) ||
                            field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r'));
        if (!quoted) {
            line += field;
            continue;
        }
        line += QLatin1Char('"');
        for (const QChar c : field) {
            if (c == QLatin1Char('"'))
                line += QLatin1Char('"');
            line += c;
        }
        line += QLatin1Char('"');
    }
    line += QLatin1String("\r\n");
    return line;
}

OfferCsvExport::OfferCsvExport(Database& db, qint32 qid, const QString& path,
                               const QStringList& header, EarlierWording earlier)
    : m_db(db), m_qid(qid), m_file(path), m_earlier(std::move(earlier)) {
    {
        QSqlQuery count = prepare(db.connection(), sql::countOffersOfQuery);
        count.addBindValue(qid);
        m_total = scalar(count);
    }
    if (!m_file.open(QIODevice::WriteOnly))
        throw Error(m_file.errorString());
    m_buffer = QByteArrayLiteral("\xEF\xBB\xBF") + csvRecord(header).toUtf8();
}

OfferCsvExport::~OfferCsvExport() {
    cancel();
}

void OfferCsvExport::writeLine(const QStringList& fields) {
    m_buffer += csvRecord(fields).toUtf8();
}

bool OfferCsvExport::writeChunk(int rows) {
    const QSqlDatabase db = m_db.connection();
    int left = std::max(rows, 1);
    QStringList fields;
    while (left > 0 && m_phase != Phase::End) {
        const bool dated = m_phase == Phase::Dated;
        QSqlQuery query =
            prepare(db, dated ? (m_anyRead ? sql::exportDatedAfter : sql::exportDated)
                              : (m_anyRead ? sql::exportUndatedAfter : sql::exportUndated));
        query.addBindValue(m_qid);
        if (m_anyRead) {
            if (dated)
                query.addBindValue(m_lastDate);
            query.addBindValue(m_lastId);
        }
        query.addBindValue(left);
        exec(query);
        int got = 0;
        while (query.next()) {
            fields.clear();
            for (int column = 0; column < sql::exportDateColumn; ++column)
                fields.append(query.value(column).toString());
            const QVariant date = query.value(sql::exportDateColumn);
            fields.append(date.isNull()
                              ? QString()
                              : dateTimeDisplayText(date.typeId() == QMetaType::QString
                                                        ? dateTimeValueFromText(date.toString())
                                                        : date.toDouble()));
            fields.append(m_earlier ? m_earlier(appearancesFromJson(
                                          query.value(sql::exportEarlierColumn).toString()))
                                    : QString());
            writeLine(fields);
            m_lastDate = date;
            m_lastId = nonNull(query.value(sql::exportIdColumn).toString());
            m_anyRead = true;
            ++got;
        }
        const QSqlError error = query.lastError();
        query.finish();
        if (error.isValid())
            throw engineError(error);
        m_written += got;
        if (got < left) {
            m_phase = dated ? Phase::Undated : Phase::End;
            m_anyRead = false;
        }
        left -= got;
    }
    if (m_file.write(m_buffer) != m_buffer.size())
        throw Error(m_file.errorString());
    m_buffer.clear();
    return m_phase != Phase::End;
}

void OfferCsvExport::commit() {
    // A search removed or emptied meanwhile (a sync, the database cleared) would leave a file
    // that looks complete and is not: nothing is kept then.
    bool searchKept = false;
    {
        QSqlQuery search = prepare(m_db.connection(), sql::selectQueryById);
        search.addBindValue(m_qid);
        exec(search);
        searchKept = search.next();
        search.finish();
    }
    if (!searchKept || m_written < m_total) {
        cancel();
        throw Error(searchChangedMessage());
    }
    if (!m_buffer.isEmpty() && m_file.write(m_buffer) != m_buffer.size())
        throw Error(m_file.errorString());
    m_buffer.clear();
    if (!m_file.commit())
        throw Error(m_file.errorString());
}

QString OfferCsvExport::searchChangedMessage() {
    return QStringLiteral("Поиск изменился во время сохранения, файл не записан.");
}

void OfferCsvExport::cancel() {
    // A cancelled commit removes the temporary file at once.
    if (m_file.isOpen()) {
        m_file.cancelWriting();
        m_file.commit();
    }
}

} // namespace domiva
