// Another archive as input: a whole SQLite archive given to import (or, on
// a server, an archive of version 1 in another schema), merged into this
// one.
//
// Read in two passes from one snapshot of it: the first checks every value
// as this program's own inputs are checked and keeps only what orders the
// second (numbers and keys); the second writes.  So a file that is wrong
// anywhere adds nothing, and the destination's write lock is held only for
// the time its rows take to write.  A source on the server itself shares
// the connection, so its results are read whole rather than row by row.

#include <QByteArray>
#include <algorithm>
#include <map>
#include <set>

#include "archive/recordkey.h"
#include "archive/sql.h"
#include "workshop/identity.h"
#include "workshop/typed.h"

namespace archivesql {

namespace {

// The block :sha256's bytes.
const char* const kBlockBytes = "SELECT bytes FROM %T%blocks WHERE sha256 = :sha256";

// The nine texts, the unit and its code as this program writes them.
std::string recordProblem(const QVariantList& texts, const QVariant& code, const QVariant& unit,
                          int form, TestRecord* r) {
    std::vector<std::string> read(texts.size());
    for (int k = 0; k < texts.size(); ++k)
        if (!latin1Text(texts[k], &read[static_cast<std::size_t>(k)]))
            return std::string("the column ") + kTextColumns[static_cast<std::size_t>(k)] +
                   " is no text of the tester's";
    std::string name;
    long long value = 0;
    if (!latin1Text(unit, &name) || unitName(unitCode(name)) != name)
        return "its unit is none of PSI, kPa, Bar and mmHg";
    if (!code.isNull() && (!integerValue(code, &value) || value < 0 || value > 255))
        return "its unit code is no byte";
    // A received block gives every code; a file names mmHg, not its code.
    const bool received = form == static_cast<int>(RecordForm::Received);
    const bool codeAgrees =
        received
            ? !code.isNull() && unitName(static_cast<char>(value)) == name
            : (name == unitName('m') ? code.isNull() : !code.isNull() && value == unitCode(name));
    if (!codeAgrees) return "its unit and unit code disagree";
    // Each text whole: one that does not fit its field was not received.
    const std::size_t cut = recordOfTexts(read, r);
    if (cut < read.size())
        return std::string("the column ") + kTextColumns[cut] + " is longer than its field";
    r->pressureUnits = code.isNull() ? unitCode(name) : static_cast<char>(value);
    return std::string();
}

// A list version's own row (number, time loaded, file hash, row count),
// as this program writes it; otherwise what is wrong with it, naming kind.
std::string listVersionProblem(Row& list, const std::string& kind, AssetListInfo* info) {
    long long utc = 0;
    if (!integerValue(list["id"], &info->number) || !latin1Text(list["loaded"], &info->loaded) ||
        !integerValue(list["loaded_utc"], &utc) || !latin1Text(list["sha256"], &info->sha256) ||
        !integerValue(list["row_count"], &info->rows))
        return (kind[0] == 'a' ? "an " : "a ") + kind +
               " whose values are not of their columns' kinds";
    info->loadedUtc = static_cast<std::time_t>(utc);
    if (archiveTimeSeconds(info->loaded) != std::optional<long long>(utc) ||
        !isSha256Text(info->sha256))
        return kind + " " + std::to_string(info->number) +
               ": a time or file hash this program does not write";
    return std::string();
}

// Every version of the tester list, read whole and judged by the list's
// own reader, into plan->testerLists.
bool checkTesterLists(Archive::Connection& s, SourcePlan* plan, bool wholeResults,
                      std::string* why) {
    auto wrong = [&](const std::string& what) {
        *why = s.shown + " cannot be imported: " + what;
        return false;
    };
    auto failed = [&](const QSqlQuery& q) {
        *why = s.failure("cannot read", q.lastError());
        return false;
    };
    QSqlQuery lists(s.db), rows(s.db);
    lists.setForwardOnly(!wholeResults);
    if (!lists.exec(s.sql(QStringLiteral("SELECT id, %1 FROM %T%tester_lists ORDER BY id")
                              .arg(columnList(kAssetListColumns)))))
        return failed(lists);
    if (!s.prepare(rows, s.sql(kTesterRowsOfList), "cannot read", why)) return false;
    long long listsRows = 0;
    Row list(lists);
    while (lists.next()) {
        AssetListInfo info;
        const std::string unread = listVersionProblem(list, "tester list", &info);
        if (!unread.empty()) return wrong(unread);
        const std::string which = "tester list " + std::to_string(info.number) + ": ";
        rows.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(info.number));
        if (!s.run(rows, "cannot read", why)) return false;
        std::vector<TesterRow> read;
        Row row(rows);
        while (rows.next()) {
            TesterRow t;
            long long line = 0;
            if (!integerValue(row["line"], &line) || line < 0 || line > 0x7fffffff ||
                !latin1Text(row["tester_serial"], &t.serial) ||
                !latin1Text(row["calibrated_on"], &t.calibratedOn) ||
                !latin1Text(row["calibration_due"], &t.calibrationDue) ||
                !latin1Text(row["certificate"], &t.certificate))
                return wrong(which + "a row whose values are not of their columns' kinds");
            t.line = static_cast<int>(line);
            read.push_back(std::move(t));
        }
        if (rows.lastError().isValid()) return failed(rows);
        rows.finish();
        if (static_cast<long long>(read.size()) != info.rows)
            return wrong(which + "its count of rows is not the rows it has");
        const std::string problem = testerListProblem(read);
        if (!problem.empty()) return wrong(which + problem);
        listsRows += info.rows;
        plan->testerLists.emplace_back(info, std::move(read));
    }
    if (lists.lastError().isValid()) return failed(lists);
    QSqlQuery all(s.db);
    if (!all.exec(s.sql("SELECT %C%count(*) AS row_count FROM %T%tester_rows")) || !all.next())
        return failed(all);
    if (Row(all)["row_count"].toLongLong() != listsRows)
        return wrong("tester rows of no tester list");
    return true;
}

}  // namespace

bool checkSource(Archive::Connection& s, SourcePlan* plan, std::string* why) {
    *plan = SourcePlan();
    const bool wholeResults = s.borrowed;
    auto wrong = [&](const std::string& what) {
        *why = s.shown + " cannot be imported: " + what;
        return false;
    };
    auto failed = [&](const QSqlQuery& q) {
        *why = s.failure("cannot read", q.lastError());
        return false;
    };

    // The downloads, and the block of each that received one.
    std::map<qlonglong, std::size_t> byId;
    {
        QSqlQuery q(s.db);
        q.setForwardOnly(!wholeResults);
        if (!q.exec(
                s.sql(QStringLiteral("SELECT id, %1, block_sha256 FROM %T%downloads ORDER BY id")
                          .arg(columnList(kDownloadColumns)))))
            return failed(q);
        Row row(q);
        while (q.next()) {
            SourceDownload d;
            long long form = 0;
            const QVariant block = row["block_sha256"];
            if (!integerValue(row["id"], &d.id) || !latin1Text(row["tester_serial"], &d.serial) ||
                !latin1Text(row["tester_id"], &d.testerId) ||
                !latin1Text(row["downloaded"], &d.downloaded) ||
                !integerValue(row["downloaded_utc"], &d.utc) || !integerValue(row["form"], &form) ||
                !(block.isNull() || latin1Text(block, &d.block)) ||
                !integerValue(row["record_count"], &d.count))
                return wrong("a download whose values are not of their columns' kinds");
            d.form = form >= 1 && form <= 3 ? static_cast<int>(form) : 0;
            const std::string problem = downloadProblem(d);
            if (!problem.empty()) return wrong(problem);
            if (!byId.emplace(d.id, plan->downloads.size()).second)
                return wrong("two downloads numbered " + std::to_string(d.id));
            plan->downloads.push_back(d);
        }
        if (q.lastError().isValid()) return failed(q);
    }
    QSqlQuery block(s.db);
    if (!s.prepare(block, s.sql(kBlockBytes), "cannot read", why)) return false;
    // The keys of the records download d's block holds; false when it is
    // not the block it should be.
    auto blockKeys = [&](const SourceDownload& d, std::set<std::string>* keys) {
        block.bindValue(QStringLiteral(":sha256"), latin1(d.block));
        if (!s.run(block, "cannot read", why)) return false;
        if (!block.next())
            return wrong("download " + std::to_string(d.id) + "'s block is not there");
        const QVariant bytes = Row(block)["bytes"];
        block.finish();
        if (bytes.typeId() != QMetaType::QByteArray)
            return wrong("download " + std::to_string(d.id) + "'s block is no bytes");
        const std::string problem = blockProblem(d, bytes.toByteArray().toStdString(), keys);
        return problem.empty() || wrong(problem);
    };
    std::set<std::string> keys;
    for (const SourceDownload& d : plan->downloads) {
        if (d.block.empty()) continue;
        if (!blockKeys(d, &keys)) return false;
        plan->blocks.push_back(d.block);
    }
    std::sort(plan->blocks.begin(), plan->blocks.end());
    plan->blocks.erase(std::unique(plan->blocks.begin(), plan->blocks.end()), plan->blocks.end());

    // Every record, download by download: one its first download could
    // have brought, under that download's tester.
    {
        QSqlQuery q(s.db);
        q.setForwardOnly(!wholeResults);
        const bool keyed = s.version >= 2;
        if (!q.exec(s.sql(QStringLiteral("SELECT %1, id, first_download, tester_serial, form, "
                                         "record_key%2 FROM %T%records ORDER BY first_download, id")
                              .arg(columnList(kTextColumns + kUnitColumns),
                                   keyed ? QStringLiteral(", device_key") : QString()))))
            return failed(q);
        std::vector<long long> brought(plan->downloads.size(), 0);
        long long keysOf = -1;  // whose block's keys are in `keys`
        Row row(q);
        while (q.next()) {
            long long id = 0, first = 0, form = 0;
            std::string serial, storedKey, deviceKey;
            if (!integerValue(row["id"], &id) || !integerValue(row["first_download"], &first) ||
                !integerValue(row["form"], &form) || !latin1Text(row["tester_serial"], &serial) ||
                !latin1Text(row["record_key"], &storedKey) ||
                (keyed && !latin1Text(row["device_key"], &deviceKey)))
                return wrong("a record whose values are not of their columns' kinds");
            const std::string which = "record " + std::to_string(id) + ": ";
            const auto at = byId.find(first);
            if (at == byId.end()) return wrong(which + "a record of no download");
            const SourceDownload& d = plan->downloads[at->second];
            if (form < d.form || form > static_cast<int>(RecordForm::Received))
                return wrong(which + "a form of its texts that its download cannot give");
            if (serial != d.serial) return wrong(which + "another tester than its download's");
            QVariantList texts;
            for (const char* column : kTextColumns) texts << row[column];
            TestRecord r;
            const std::string problem =
                recordProblem(texts, row["unit_code"], row["unit"], static_cast<int>(form), &r);
            if (!problem.empty()) return wrong(which + problem);
            std::string key = recordKey(serial, r);
            // Keys by the identity rule of version 2 on; version 1 kept
            // another, which the import computes again.
            if (keyed && (storedKey != key || deviceKey != identityText(FIELD_TEXT(r, deviceID))))
                return wrong(which + "its key is not its texts' identity");
            if (!d.block.empty()) {
                if (keysOf != d.id && !blockKeys(d, &keys)) return false;
                keysOf = d.id;
                if (!keys.count(key))
                    return wrong(which + "a record its download's block does not hold");
            }
            if (++brought[at->second] > d.count)
                return wrong("download " + std::to_string(d.id) + ": more records than its count");
            plan->records.emplace_back(std::move(key), id);
        }
        if (q.lastError().isValid()) return failed(q);
        std::vector<long long> ids;
        for (const auto& [key, id] : plan->records) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
            return wrong("two records of one number");
        std::sort(plan->records.begin(), plan->records.end());
        if (keyed && std::adjacent_find(plan->records.begin(), plan->records.end(),
                                        [](const auto& a, const auto& b) {
                                            return a.first == b.first;
                                        }) != plan->records.end())
            return wrong("two records of one identity");
    }

    // Every version of the asset list, read whole (they are small) and
    // judged by the list's own reader.
    if (s.version < 3) return true;
    QSqlQuery lists(s.db), rows(s.db);
    lists.setForwardOnly(!wholeResults);
    if (!lists.exec(s.sql(QStringLiteral("SELECT id, %1 FROM %T%asset_lists ORDER BY id")
                              .arg(columnList(kAssetListColumns)))))
        return failed(lists);
    if (!s.prepare(rows, s.sql(kAssetRowsOfList), "cannot read", why)) return false;
    long long listsRows = 0;
    Row list(lists);
    while (lists.next()) {
        AssetListInfo info;
        const std::string unread = listVersionProblem(list, "asset list", &info);
        if (!unread.empty()) return wrong(unread);
        const std::string which = "asset list " + std::to_string(info.number) + ": ";
        rows.bindValue(QStringLiteral(":list"), static_cast<qlonglong>(info.number));
        if (!s.run(rows, "cannot read", why)) return false;
        std::vector<AssetRow> read;
        std::vector<std::string> deviceKeys;
        Row row(rows);
        while (rows.next()) {
            AssetRow a;
            long long line = 0;
            std::string deviceKey;
            if (!integerValue(row["line"], &line) || line < 0 || line > 0x7fffffff ||
                !latin1Text(row["device_id"], &a.deviceId) ||
                !latin1Text(row["device_key"], &deviceKey) || !latin1Text(row["model"], &a.model) ||
                !latin1Text(row["location"], &a.location) ||
                !latin1Text(row["valid_from"], &a.validFrom) ||
                (s.version >= 5 && (!latin1Text(row["asset_tag"], &a.assetTag) ||
                                    !latin1Text(row["retired_from"], &a.retiredFrom))))
                return wrong(which + "a row whose values are not of their columns' kinds");
            a.line = static_cast<int>(line);
            const auto values = assetValues(a.values);
            for (std::size_t k = 0; k < kAssetValueColumns.size(); ++k) {
                const QVariant v = row[kAssetValueColumns[k]];
                std::string text;
                if (v.isNull()) continue;
                if (!latin1Text(v, &text) || !(*values[k] = Decimal::parse(text)))
                    return wrong(which + "the column " + kAssetValueColumns[k] +
                                 " holds no number");
            }
            const QVariant interval = row["interval_days"];
            long long days = 0;
            if (!interval.isNull()) {
                if (!integerValue(interval, &days))
                    return wrong(which + "interval_days holds no whole number");
                a.values.intervalDays = days;
            }
            read.push_back(std::move(a));
            deviceKeys.push_back(std::move(deviceKey));
        }
        if (rows.lastError().isValid()) return failed(rows);
        rows.finish();
        if (static_cast<long long>(read.size()) != info.rows)
            return wrong(which + "its count of rows is not the rows it has");
        const std::string problem = assetListProblem(read, deviceKeys);
        if (!problem.empty()) return wrong(which + problem);
        listsRows += info.rows;
        plan->lists.emplace_back(info, std::move(read));
    }
    if (lists.lastError().isValid()) return failed(lists);
    // No row of a list that is not there.
    QSqlQuery all(s.db);
    if (!all.exec(s.sql("SELECT %C%count(*) AS row_count FROM %T%asset_rows")) || !all.next())
        return failed(all);
    if (Row(all)["row_count"].toLongLong() != listsRows)
        return wrong("asset rows of no asset list");
    all.finish();
    return s.version < 5 || checkTesterLists(s, plan, wholeResults, why);
}

// Blocks and records go in by their keys, so that every writer takes its
// row locks in one order.  A download already here (same tester, time,
// form, block and count, as many times as the source has it) is not added
// again; asset lists only into an archive that has none.
bool importInto(Archive::Connection& c, Archive::Connection& s, const SourcePlan& plan,
                ArchiveImport* summary, std::string* error) {
    *summary = ArchiveImport();
    QSqlQuery read(s.db);
    BlockWriter blocks(c);
    if (!s.prepare(read, s.sql(kBlockBytes), "cannot read", error) || !blocks.prepare(error))
        return false;
    for (const std::string& sha : plan.blocks) {
        read.bindValue(QStringLiteral(":sha256"), latin1(sha));
        if (!s.first(read, "cannot read", error)) return false;
        const QByteArray bytes = Row(read)["bytes"].toByteArray();
        read.finish();
        if (!blocks.add(sha, bytes, error)) return false;
    }

    QSqlQuery same(c.db);
    if (!c.prepare(same,
                   c.sql(QStringLiteral("SELECT id FROM %T%downloads WHERE %1 AND "
                                        "coalesce(block_sha256, '') = coalesce(:block_sha256, '') "
                                        "ORDER BY id LIMIT 1 OFFSET :nth")
                             .arg(assignments(kDownloadColumns, " AND "))),
                   "cannot read", error))
        return false;
    std::map<std::string, long long> times;  // how often each download was met so far
    std::map<qlonglong, qlonglong> here;
    for (const SourceDownload& d : plan.downloads) {
        ++summary->downloads;
        const std::string alike = d.serial + '\n' + d.testerId + '\n' + d.downloaded + '\n' +
                                  std::to_string(d.utc) + '\n' + std::to_string(d.form) + '\n' +
                                  d.block + '\n' + std::to_string(d.count);
        bindDownload(same, d);
        same.bindValue(QStringLiteral(":nth"), static_cast<qlonglong>(times[alike]++));
        if (!c.run(same, "cannot read", error)) return false;
        if (same.next()) {
            here[d.id] = Row(same)["id"].toLongLong();
            same.finish();
            continue;
        }
        same.finish();
        qlonglong id = 0;
        if (!insertDownload(c, d, &id, error)) return false;
        here[d.id] = id;
        ++summary->downloadsAdded;
    }

    RecordWriter writer(c);
    QSqlQuery one(s.db);
    if (!writer.prepare(error) ||
        !s.prepare(one,
                   s.sql(QStringLiteral("SELECT %1, first_download, tester_serial, form FROM "
                                        "%T%records WHERE id = :id")
                             .arg(columnList(kTextColumns + kUnitColumns))),
                   "cannot read", error))
        return false;
    for (const auto& [key, id] : plan.records) {
        one.bindValue(QStringLiteral(":id"), id);
        if (!s.first(one, "cannot read", error)) return false;
        Row row(one);
        const TestRecord r = row.record();
        const qlonglong download = here[row["first_download"].toLongLong()];
        const std::string serial = row.text("tester_serial");
        const auto form = static_cast<RecordForm>(row["form"].toInt());
        const bool codeKnown = !row["unit_code"].isNull();
        one.finish();
        bool isNew = false;
        if (!writer.add(download, serial, key, r, form, codeKnown, &isNew, error)) return false;
        ++summary->records;
        summary->recordsAdded += isNew ? 1 : 0;
    }

    summary->assetLists = static_cast<long long>(plan.lists.size());
    summary->testerLists = static_cast<long long>(plan.testerLists.size());
    // Each list's versions only into an archive that has none of that list.
    auto none = [&](const char* table, bool* empty) {
        QSqlQuery any(c.db);
        if (!any.exec(c.sql(QStringLiteral("SELECT %C%count(*) AS lists FROM %T%%1")
                                .arg(QLatin1String(table)))) ||
            !any.next()) {
            *error = c.failure("cannot read", any.lastError());
            return false;
        }
        *empty = Row(any)["lists"].toLongLong() == 0;
        return true;
    };
    bool empty = false;
    if (!plan.lists.empty()) {
        if (!none("asset_lists", &empty)) return false;
        for (const auto& [list, rows] : plan.lists) {
            AssetListInfo info = list;
            if (empty && !insertAssetList(c, rows, &info, error)) return false;
            summary->assetListsAdded += empty ? 1 : 0;
        }
    }
    if (!plan.testerLists.empty()) {
        if (!none("tester_lists", &empty)) return false;
        for (const auto& [list, rows] : plan.testerLists) {
            AssetListInfo info = list;
            if (empty && !insertTesterList(c, rows, &info, error)) return false;
            summary->testerListsAdded += empty ? 1 : 0;
        }
    }
    return true;
}

}  // namespace archivesql

bool Archive::isSqliteFile(const std::string& bytes) {
    return bytes.compare(0, 16, std::string("SQLite format 3\0", 16)) == 0;
}

bool Archive::addArchive(Archive& source, ArchiveImport* summary, std::string* error) {
    if (!source.c_->plan) {
        *error = source.name() + " was not opened for import";
        return false;
    }
    if (!c_->inTransaction)
        return transaction([&](std::string* e) { return addArchive(source, summary, e); }, error);
    if (archivesql::importInto(*c_, *source.c_, *source.c_->plan, summary, error)) return true;
    c_->rollback();
    return false;
}
