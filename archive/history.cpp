// Records out of the archive: the history a filter passes (streamed, or
// counted), the downloads, a tester's latest ID, each device's last test
// and when records were first received.

#include <unordered_map>
#include <unordered_set>

#include "archive/recordkey.h"
#include "archive/sql.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

using namespace archivesql;

namespace {

// Named placeholders and their values, bound once the statement is prepared.
using Values = std::vector<std::pair<QString, QVariant>>;

void bindAll(QSqlQuery& q, const Values& values) {
    for (const auto& [name, value] : values) q.bindValue(name, value);
}

// The conditions of a filter on records r, with their values.
// deviceKeyed: the archive has device keys (version 2 on); without them the
// caller compares the device IDs itself.
QString historyWhere(const HistoryFilter& filter, bool deviceKeyed, Values* values) {
    QString text = QStringLiteral(" WHERE 1 = 1");
    if (!filter.device.empty() && deviceKeyed) {
        text += QStringLiteral(" AND r.device_key = :device_key");
        values->emplace_back(QStringLiteral(":device_key"), latin1(identityText(filter.device)));
    }
    if (!filter.tester.empty()) {
        text += QStringLiteral(" AND r.tester_serial = :tester_serial");
        values->emplace_back(QStringLiteral(":tester_serial"), latin1(filter.tester));
    }
    if (!filter.since.empty() || !filter.until.empty()) {
        QString dates = QStringLiteral("1 = 1");
        if (!filter.since.empty()) {
            // The bare date: a test whose time does not read is kept as its date.
            dates += QStringLiteral(" AND r.tested >= :since");
            values->emplace_back(QStringLiteral(":since"), latin1(filter.since));
        }
        if (!filter.until.empty()) {
            dates += QStringLiteral(" AND r.tested <= :until");
            values->emplace_back(QStringLiteral(":until"), latin1(filter.until + "T23:59:59"));
        }
        text += filter.undatedToo ? " AND ((" + dates + ") OR r.tested IS NULL)" : " AND " + dates;
    }
    if (filter.download != 0) {
        text += QStringLiteral(" AND r.first_download = :first_download");
        values->emplace_back(QStringLiteral(":first_download"),
                             static_cast<qlonglong>(filter.download));
    }
    return text;
}

bool datesRead(const HistoryFilter& filter, std::string* error) {
    for (const std::string* date : {&filter.since, &filter.until}) {
        if (!date->empty() && !isIsoDate(*date)) {
            *error = "\"" + *date + "\" is no date of the form YYYY-MM-DD";
            return false;
        }
    }
    return true;
}

// The columns of a record r as an archived record holds it, the texts read
// as their bytes; the unit's name only where its code is not kept.
QString recordColumns() {
    QStringList columns;
    for (const char* column : kTextColumns + std::vector<const char*>{"tester_serial"})
        columns << rawText(column, "r.");
    return columns.join(QStringLiteral(", ")) +
           QStringLiteral(
               ", CASE WHEN r.unit_code IS NULL THEN CAST(r.unit AS %RAW%) END AS "
               "unit, r.unit_code, r.first_download");
}

// With the texts of the download d that first brought it.
QString archivedColumns() {
    return recordColumns() + QStringLiteral(", ") + rawText("tester_id", "d.") +
           QStringLiteral(", ") + rawText("downloaded", "d.");
}

// Reads the row of recordColumns() into *a, whose texts keep their room
// from row to row.
void readRecord(Row& row, ArchivedRecord* a) {
    a->record = row.record();
    row.text("tester_serial", &a->tester.serial);
    a->firstDownload = row["first_download"].toLongLong();
}

// Reads the row of archivedColumns() into *a.
void readArchived(Row& row, ArchivedRecord* a) {
    readRecord(row, a);
    row.text("tester_id", &a->tester.id);
    row.text("downloaded", &a->firstDownloaded);
}

ArchivedRecord archivedRecord(Row& row) {
    ArchivedRecord a;
    readArchived(row, &a);
    return a;
}

// The order of a history: by test date and time, records without one last,
// then in the order archived.
const char* const kTestOrder = " ORDER BY r.tested ASC NULLS LAST, r.id";

// Whether SQLite should sort the records that pass the filter (where) rather
// than walk the test-date index to them: the index finds each record in the
// file, which costs a read of its page, unless the records lie in the file
// much as they do in test order (as downloads bring them).  The first 2,048
// in test order tell: spread over more pages (of about 16 records) than a
// third of their number, they are far from it (an archive filled out of
// order, merged from several), and reading the file in its own order and
// sorting costs less.  PostgreSQL's planner weighs this itself, from the
// correlation its statistics keep.
bool sortRatherThanIndex(Archive::Connection& c, const QString& where, const Values& values) {
    QSqlQuery q(c.db);
    q.setForwardOnly(true);
    if (!q.prepare(c.sql(QStringLiteral("SELECT r.id FROM %T%records r") + where +
                         QLatin1String(kTestOrder) + QStringLiteral(" LIMIT 2048"))))
        return false;
    bindAll(q, values);
    if (!q.exec()) return false;
    std::unordered_set<long long> pages;
    int records = 0;
    for (; q.next(); ++records) pages.insert(q.value(0).toLongLong() / 16);
    return pages.size() * 3 > static_cast<std::size_t>(records);
}

}  // namespace

bool Archive::count(const HistoryFilter& filter, long long* records, std::string* error) {
    *records = 0;
    if (!datesRead(filter, error)) return false;
    if (!filter.device.empty() && c_->version < 2) {
        // No device keys to count by: counted as history reads them.
        return history(
            filter, [records](const ArchivedRecord&) { return ++*records, true; }, error, false);
    }
    Values values;
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql(QStringLiteral("SELECT %C%count(*) AS matched FROM %T%records r") +
                             historyWhere(filter, true, &values)),
                     "cannot read", error))
        return false;
    bindAll(q, values);
    if (!c_->first(q, "cannot read", error)) return false;
    *records = Row(q)["matched"].toLongLong();
    return true;
}

bool Archive::history(const HistoryFilter& filter,
                      const std::function<bool(const ArchivedRecord&)>& each, std::string* error,
                      bool inTestOrder) {
    if (!datesRead(filter, error)) return false;
    // A version-1 archive, read as it stands, has no device key: its device
    // IDs are compared here instead.
    const std::string device = identityText(filter.device);
    const bool deviceHere = !filter.device.empty() && c_->version < 2;
    // Each download's tester ID and time, read once: the records name their
    // first download by its number (joined, its texts were read again for
    // every record).
    struct Download {
        std::string testerId, downloaded;
    };
    std::unordered_map<long long, Download> downloads;
    {
        QSqlQuery d(c_->db);
        d.setForwardOnly(true);
        if (!c_->prepare(d,
                         c_->sql(QStringLiteral("SELECT id, ") + rawText("tester_id", "") +
                                 QStringLiteral(", ") + rawText("downloaded", "") +
                                 QStringLiteral(" FROM %T%downloads")),
                         "cannot read", error) ||
            !c_->run(d, "cannot read", error))
            return false;
        Row row(d);
        while (d.next()) {
            Download& download = downloads[row["id"].toLongLong()];
            row.text("tester_id", &download.testerId);
            row.text("downloaded", &download.downloaded);
        }
        if (d.lastError().isValid()) {
            *error = c_->failure("cannot read", d.lastError());
            return false;
        }
    }
    Values values;
    const QString where = historyWhere(filter, !deviceHere, &values);
    QString text = QStringLiteral("SELECT ") + recordColumns() +
                   QStringLiteral(" FROM %T%records r") + where;
    // SQLite's unary + keeps the index from giving the order, so it sorts.
    if (inTestOrder && !c_->postgres && sortRatherThanIndex(*c_, where, values))
        text += QStringLiteral(" ORDER BY +r.tested ASC NULLS LAST, r.id");
    else if (inTestOrder)
        text += QLatin1String(kTestOrder);
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!c_->prepare(q, c_->sql(text), "cannot read", error)) return false;
    bindAll(q, values);
    if (!c_->run(q, "cannot read", error)) return false;
    Row row(q);
    ArchivedRecord a;
    while (q.next()) {
        readRecord(row, &a);
        // Every record has its first download (the schema's foreign key).
        const auto download = downloads.find(a.firstDownload);
        if (download == downloads.end()) continue;
        if (deviceHere && identityText(FIELD_TEXT(a.record, deviceID)) != device) continue;
        a.tester.id = download->second.testerId;
        a.firstDownloaded = download->second.downloaded;
        if (!each(a)) return true;
    }
    if (q.lastError().isValid()) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    return true;
}

bool Archive::history(const HistoryFilter& filter, std::vector<ArchivedRecord>* out,
                      std::string* error) {
    out->clear();
    const bool ok = history(
        filter,
        [out](const ArchivedRecord& a) {
            out->push_back(a);
            return true;
        },
        error);
    if (!ok) out->clear();
    return ok;
}

bool Archive::downloads(std::vector<ArchiveDownload>* out, std::string* error) {
    out->clear();
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!q.exec(c_->sql(
            "SELECT d.id, d.downloaded, d.tester_serial, d.tester_id, d.form, d.record_count, "
            "coalesce(n.count, 0) AS new_records FROM %T%downloads d LEFT JOIN (SELECT "
            "first_download, %C%count(*) AS count FROM %T%records GROUP BY first_download) n ON "
            "n.first_download = d.id ORDER BY d.id"))) {
        *error = c_->failure("cannot read", q.lastError());
        return false;
    }
    Row row(q);
    while (q.next()) {
        ArchiveDownload d;
        d.number = row["id"].toLongLong();
        d.downloaded = row.text("downloaded");
        d.tester.serial = row.text("tester_serial");
        d.tester.id = row.text("tester_id");
        d.form = static_cast<RecordForm>(row["form"].toInt());
        d.records = row["record_count"].toLongLong();
        d.newRecords = row["new_records"].toLongLong();
        out->push_back(d);
    }
    if (!q.lastError().isValid()) return true;
    *error = c_->failure("cannot read", q.lastError());
    out->clear();
    return false;
}

bool Archive::latestTesterId(const std::string& serial, std::string* id, std::string* error) {
    id->clear();
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql("SELECT tester_id FROM %T%downloads WHERE tester_serial = "
                             ":tester_serial ORDER BY downloaded_utc DESC, id DESC LIMIT 1"),
                     "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":tester_serial"), latin1(serial));
    if (!c_->run(q, "cannot read", error)) return false;
    if (q.next()) *id = Row(q).text("tester_id");
    return true;
}

bool Archive::lastTests(long long assetList, const std::string& asOf,
                        std::vector<std::pair<std::string, ArchivedRecord>>* lastByDevice,
                        std::string* error) {
    lastByDevice->clear();
    if (c_->version < 3) return true;
    // Each device of the list looked up in the records' device index, from
    // its latest test backwards: the first one dated on or before asOf and
    // not more than a day after the archive received it.
    const char* receivedPlusDay =
        c_->postgres ? "pg_catalog.to_char(CAST(pg_catalog.substr(d2.downloaded, 1, 19) AS "
                       "timestamp) + interval '1 day', 'YYYY-MM-DD\"T\"HH24:MI:SS')"
                     : "strftime('%Y-%m-%dT%H:%M:%S', substr(d2.downloaded, 1, 19), '+1 day')";
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!c_->prepare(
            q,
            c_->sql(QStringLiteral(
                        "SELECT x.device_key, %1 FROM (SELECT DISTINCT a.device_key AS "
                        "device_key, (SELECT r2.id FROM %T%records r2 JOIN %T%downloads d2 ON "
                        "d2.id = r2.first_download WHERE r2.device_key = a.device_key AND "
                        "r2.tested <= :until AND r2.tested <= %2 ORDER BY r2.tested DESC, r2.id "
                        "DESC LIMIT 1) AS last_id FROM %T%asset_rows a WHERE a.list_id = :list "
                        "AND a.device_key <> '') x JOIN %T%records r ON r.id = x.last_id JOIN "
                        "%T%downloads d ON d.id = r.first_download")
                        .arg(archivedColumns(), QLatin1String(receivedPlusDay))),
            "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(assetList));
    q.bindValue(QStringLiteral(":until"), latin1(asOf + "T23:59:59"));
    if (!c_->run(q, "cannot read", error)) return false;
    Row row(q);
    while (q.next()) lastByDevice->emplace_back(row.text("device_key"), archivedRecord(row));
    if (!q.lastError().isValid()) return true;
    *error = c_->failure("cannot read", q.lastError());
    return false;
}

bool Archive::firstReceived(const std::string& testerSerial, const std::vector<TestRecord>& records,
                            std::vector<std::string>* received, std::string* error) {
    received->assign(records.size(), std::string());
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql("SELECT d.downloaded FROM %T%records r JOIN %T%downloads d ON d.id = "
                             "r.first_download WHERE r.record_key = :record_key"),
                     "cannot read", error))
        return false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        q.bindValue(QStringLiteral(":record_key"), latin1(recordKey(testerSerial, records[i])));
        if (!c_->run(q, "cannot read", error)) return false;
        if (q.next()) (*received)[i] = Row(q).text("downloaded");
        q.finish();
    }
    return true;
}

bool Archive::unknownDevices(long long assetList, std::vector<UnknownDevice>* devices,
                             std::string* error) {
    devices->clear();
    if (c_->version < 2) {
        *error = c_->shown +
                 " keeps no device keys yet (an archive of version 1): write to it once, with "
                 "any download or import, to upgrade it";
        return false;
    }
    // Each device key of the records that no row of the list names, with
    // its count, its latest test date, and its latest test's own ID and
    // tester.
    const QString notListed = c_->version >= 3
                                  ? QStringLiteral(
                                        "WHERE NOT EXISTS (SELECT 1 FROM %T%asset_rows a WHERE "
                                        "a.list_id = :list AND a.device_key = r1.device_key) ")
                                  : QString();
    QSqlQuery q(c_->db);
    q.setForwardOnly(true);
    if (!c_->prepare(
            q,
            c_->sql(QStringLiteral(
                        "SELECT g.device_key, g.tests, g.last_tested, r.device_id, r.tester_serial "
                        "FROM (SELECT r1.device_key AS device_key, %C%count(*) AS tests, "
                        "%C%max(r1.tested) AS last_tested, (SELECT r2.id FROM %T%records r2 WHERE "
                        "r2.device_key = r1.device_key ORDER BY r2.tested DESC NULLS LAST, r2.id "
                        "DESC LIMIT 1) AS last_id FROM %T%records r1 %1GROUP BY r1.device_key) g "
                        "JOIN %T%records r ON r.id = g.last_id ORDER BY g.device_key")
                        .arg(notListed)),
            "cannot read", error))
        return false;
    if (c_->version >= 3) q.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(assetList));
    if (!c_->run(q, "cannot read", error)) return false;
    Row row(q);
    while (q.next()) {
        UnknownDevice d;
        d.deviceId = row.text("device_id");
        d.tests = row["tests"].toLongLong();
        d.lastTested = row.text("last_tested");
        d.tester = row.text("tester_serial");
        devices->push_back(std::move(d));
    }
    if (!q.lastError().isValid()) return true;
    *error = c_->failure("cannot read", q.lastError());
    return false;
}
