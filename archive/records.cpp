// Records into the archive: a download (or import of a file) with its block
// and its records, each record added once and given the fuller texts of a
// fuller form; whether a received download is there already, and one
// download as it was made.

#include <QByteArray>
#include <algorithm>
#include <numeric>
#include <set>

#include "archive/recordkey.h"
#include "archive/sql.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace archivesql {

bool RecordWriter::prepare(std::string* error) {
    const std::vector<const char*> all = kKeyColumns + kTextColumns + kUnitColumns + kTypedColumns;
    return c_.prepare(insert_,
                      c_.sql(insertInto("records", all) +
                             QStringLiteral(" ON CONFLICT (record_key) DO NOTHING")),
                      "cannot write to", error) &&
           c_.prepare(
               upgrade_,
               c_.sql(updateTexts() +
                      QStringLiteral(" WHERE record_key = :record_key AND form < :form_below")),
               "cannot write to", error);
}

bool RecordWriter::add(qlonglong download, const std::string& serial, const std::string& key,
                       const TestRecord& r, RecordForm form, bool codeKnown, bool* added,
                       std::string* error) {
    const TypedRecord t = typedRecord(r);
    const QVariant typed[] = {nullable(t.tested),      nullable(t.flow),
                              nullable(t.volume),      nullable(t.durationSeconds),
                              nullable(t.peakSeconds), nullable(t.pressureMmHg),
                              nullable(t.pressureUser)};
    insert_.bindValue(QStringLiteral(":record_key"), latin1(key));
    insert_.bindValue(QStringLiteral(":tester_serial"), latin1(serial));
    insert_.bindValue(QStringLiteral(":first_download"), download);
    insert_.bindValue(QStringLiteral(":form"), static_cast<int>(form));
    insert_.bindValue(QStringLiteral(":device_key"), latin1(identityText(FIELD_TEXT(r, deviceID))));
    bindTexts(insert_, r, codeKnown);
    insert_.bindValue(QStringLiteral(":unit"), latin1(t.unit));
    for (std::size_t k = 0; k < kTypedColumns.size(); ++k)
        insert_.bindValue(placeholder(kTypedColumns[k]), typed[k]);
    if (!c_.run(insert_, "cannot write to", error)) return false;
    *added = insert_.numRowsAffected() == 1;
    if (*added || form == RecordForm::Csv) return true;
    upgrade_.bindValue(QStringLiteral(":form"), static_cast<int>(form));
    bindTexts(upgrade_, r, codeKnown);
    upgrade_.bindValue(QStringLiteral(":record_key"), latin1(key));
    upgrade_.bindValue(QStringLiteral(":form_below"), static_cast<int>(form));
    return c_.run(upgrade_, "cannot write to", error);
}

bool BlockWriter::prepare(std::string* error) {
    return c_.prepare(insert_,
                      c_.sql(insertInto("blocks", {"sha256", "bytes"}) +
                             QStringLiteral(" ON CONFLICT (sha256) DO NOTHING")),
                      "cannot write to", error);
}

bool BlockWriter::add(const std::string& sha256, const QByteArray& bytes, std::string* error) {
    insert_.bindValue(QStringLiteral(":sha256"), latin1(sha256));
    insert_.bindValue(QStringLiteral(":bytes"), bytes);
    return c_.run(insert_, "cannot write to", error);
}

bool insertDownload(Archive::Connection& c, const SourceDownload& d, qlonglong* id,
                    std::string* error) {
    QSqlQuery q(c.db);
    if (!c.prepare(q,
                   c.sql(insertNumbered(
                       "downloads", kDownloadColumns + std::vector<const char*>{"block_sha256"})),
                   "cannot write to", error))
        return false;
    bindDownload(q, d);
    if (!c.first(q, "cannot write to", error)) return false;
    *id = Row(q)["id"].toLongLong();
    return true;
}

}  // namespace archivesql

using namespace archivesql;

bool Archive::newRecords(const TesterIdentity& tester, const std::vector<TestRecord>& records,
                         std::vector<bool>* added, std::string* error) {
    added->assign(records.size(), false);
    QSqlQuery q(c_->db);
    if (!c_->prepare(q, c_->sql("SELECT 1 FROM %T%records WHERE record_key = :record_key"),
                     "cannot read", error))
        return false;
    std::set<std::string> seen;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string key = recordKey(tester.serial, records[i]);
        if (!seen.insert(key).second) continue;
        q.bindValue(QStringLiteral(":record_key"), latin1(key));
        if (!c_->run(q, "cannot read", error)) return false;
        (*added)[i] = !q.next();
        q.finish();
    }
    return true;
}

bool Archive::addDownload(const TesterIdentity& tester, std::time_t downloaded,
                          const std::vector<std::uint8_t>& block,
                          const std::vector<TestRecord>& records, std::vector<bool>* added,
                          std::string* error, RecordForm form, long long* number) {
    added->assign(records.size(), false);
    if (!c_->inTransaction)
        return transaction(
            [&](std::string* e) {
                return addDownload(tester, downloaded, block, records, added, e, form, number);
            },
            error);
    // Everything that needs no database first, to keep the transaction short.
    std::vector<std::string> keys;
    keys.reserve(records.size());
    for (const TestRecord& r : records) keys.push_back(recordKey(tester.serial, r));
    // Records go in by key, so that two downloads of overlapping records
    // take their row locks in one order and never deadlock.
    std::vector<std::size_t> order(records.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    const QByteArray bytes(reinterpret_cast<const char*>(block.data()),
                           static_cast<qsizetype>(block.size()));
    const SourceDownload row{
        0,
        tester.serial,
        tester.id,
        isoLocalTime(downloaded),
        static_cast<long long>(downloaded),
        static_cast<int>(form),
        block.empty() ? std::string() : sha256Hex(std::string(block.begin(), block.end())),
        static_cast<long long>(records.size())};

    auto fail = [&] {
        c_->rollback();
        added->assign(records.size(), false);
        return false;
    };

    if (!block.empty()) {
        BlockWriter blocks(*c_);
        if (!blocks.prepare(error) || !blocks.add(row.block, bytes, error)) return fail();
    }

    qlonglong downloadId = 0;
    if (!insertDownload(*c_, row, &downloadId, error)) return fail();

    RecordWriter writer(*c_);
    if (!writer.prepare(error)) return fail();
    for (std::size_t i : order) {
        bool isNew = false;
        if (!writer.add(downloadId, tester.serial, keys[i], records[i], form,
                        codeKnownIn(form, records[i]), &isNew, error))
            return fail();
        (*added)[i] = isNew;
    }
    if (number) *number = downloadId;
    return true;
}

bool Archive::receivedDownload(const TesterIdentity& tester, std::time_t downloaded,
                               const std::vector<std::uint8_t>& block, long long records,
                               long long nth, long long* number, std::string* error) {
    *number = 0;
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql(QStringLiteral("SELECT id FROM %T%downloads WHERE %1 ORDER BY id "
                                            "LIMIT 1 OFFSET :nth")
                                 .arg(assignments({"tester_serial", "tester_id", "downloaded_utc",
                                                   "form", "block_sha256", "record_count"},
                                                  " AND "))),
                     "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":tester_serial"), latin1(tester.serial));
    q.bindValue(QStringLiteral(":tester_id"), latin1(tester.id));
    q.bindValue(QStringLiteral(":downloaded_utc"), static_cast<qlonglong>(downloaded));
    q.bindValue(QStringLiteral(":form"), static_cast<int>(RecordForm::Received));
    q.bindValue(QStringLiteral(":block_sha256"),
                latin1(sha256Hex(std::string(block.begin(), block.end()))));
    q.bindValue(QStringLiteral(":record_count"), static_cast<qlonglong>(records));
    q.bindValue(QStringLiteral(":nth"), static_cast<qlonglong>(nth));
    if (!c_->run(q, "cannot read", error)) return false;
    if (q.next()) *number = Row(q)["id"].toLongLong();
    return true;
}

bool Archive::downloadMade(long long number, DownloadMade* out, std::string* error) {
    *out = DownloadMade();
    QSqlQuery q(c_->db);
    if (!c_->prepare(q,
                     c_->sql("SELECT d.tester_serial, d.tester_id, d.downloaded_utc, b.bytes FROM "
                             "%T%downloads d LEFT JOIN %T%blocks b ON b.sha256 = d.block_sha256 "
                             "WHERE d.id = :id"),
                     "cannot read", error))
        return false;
    q.bindValue(QStringLiteral(":id"), static_cast<qlonglong>(number));
    if (!c_->run(q, "cannot read", error)) return false;
    if (!q.next()) return true;
    Row row(q);
    out->number = number;
    out->tester.serial = row.text("tester_serial");
    out->tester.id = row.text("tester_id");
    out->time = static_cast<std::time_t>(row["downloaded_utc"].toLongLong());
    const QByteArray bytes = row["bytes"].toByteArray();
    out->block.assign(bytes.begin(), bytes.end());
    return true;
}
