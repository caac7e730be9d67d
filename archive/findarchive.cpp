// Finding the archive in what a database holds: its version, where its
// tables are, and (on a server) the archives of version 1 an older release
// left in other schemas, which the next command that writes merges.

#include <sqlite3.h>

#include <algorithm>
#include <map>

#include "archive/sql.h"

using namespace archivesql;

namespace {

using Connection = Archive::Connection;

// A PostgreSQL name quoted whole, whatever it holds.
QString quotedName(QString name) {
    return QLatin1Char('"') + name.replace(QLatin1Char('"'), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

bool readFileShape(Connection& c, std::string* error) {
    QSqlQuery q(c.db);
    if (!q.exec(QStringLiteral("SELECT (SELECT user_version FROM pragma_user_version) AS "
                               "user_version, (SELECT count(*) FROM sqlite_schema) AS objects")) ||
        !q.next()) {
        *error = c.failure("cannot read", q.lastError());
        return false;
    }
    const int userVersion = Row(q)["user_version"].toInt();
    const long long objects = Row(q)["objects"].toLongLong();
    // The archive's tables: what each is (a view is not read, nor a virtual
    // table touched), then the columns of the real ones.
    std::map<std::string, FoundTable> found;
    if (!q.exec(QStringLiteral("SELECT name, type FROM pragma_table_list WHERE schema = 'main'"))) {
        *error = c.failure("cannot read", q.lastError());
        return false;
    }
    const std::vector<std::string>& names = archiveTableNames(false);
    Row table(q);
    while (q.next()) {
        const std::string name = table.text("name");
        if (std::find(names.begin(), names.end(), name) != names.end())
            found[name].plain = table["type"].toString() == QLatin1String("table");
    }
    q.finish();
    for (auto& [name, shape] : found) {
        if (!shape.plain) continue;
        QSqlQuery columns(c.db);
        if (!c.prepare(columns, QStringLiteral("SELECT name, hidden FROM pragma_table_xinfo(:t)"),
                       "cannot read", error))
            return false;
        columns.bindValue(QStringLiteral(":t"), latin1(name));
        if (!c.run(columns, "cannot read", error)) return false;
        Row column(columns);
        while (columns.next())
            (column["hidden"].toInt() == 0 ? shape.columns : shape.generated)
                .push_back(column.text("name"));
    }
    if (found.empty() && objects == 0 && userVersion == 0) return true;
    // A newer version is refused by the caller, whatever its tables.
    if (userVersion > Archive::kSchemaVersion) {
        c.version = userVersion;
        return true;
    }
    const std::string why =
        userVersion < 1 ? "a database of other tables" : shapeProblem(found, userVersion, false);
    if (!why.empty()) {
        *error = c.shown + " is not a LUM Kest archive (" + why + ")";
        return false;
    }
    c.version = userVersion;
    return true;
}

bool findInFile(Connection& c, std::string* error) {
    c.at.clear();
    // One read transaction, so one snapshot of the tables that another
    // process may be making at this moment.
    const bool own = sqlite3_get_autocommit(c.handle) != 0;
    if (own && !c.exec(QStringLiteral("BEGIN"), "cannot read", error)) return false;
    const bool ok = readFileShape(c, error);
    if (own) c.rollback();
    return ok;
}

// On a server the archive lives in the schema lumkest.  An older release
// made its tables of version 1 in whatever schema search_path pointed to,
// so every other schema is looked at too; another application's table of
// the same name is no archive.
bool findOnServer(Connection& c, std::string* error) {
    c.at = QStringLiteral("lumkest.");
    c.oldSchema.clear();
    c.strays.clear();
    QStringList names;
    for (const std::string& n : archiveTableNames(true))
        names << QLatin1Char('\'') + latin1(n) + QLatin1Char('\'');
    QSqlQuery q(c.db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral(
                    "SELECT n.nspname AS schema_name, c.relname AS table_name, c.relkind = 'r' "
                    "AS plain, a.attname AS column_name, a.attgenerated <> '' AS is_generated "
                    "FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n ON n.oid = "
                    "c.relnamespace LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid "
                    "AND a.attnum > 0 AND NOT a.attisdropped WHERE c.relname IN (%1) AND "
                    "c.relkind IN ('r', 'p', 'v', 'm', 'f') AND n.nspname <> "
                    "'information_schema' AND n.nspname NOT LIKE 'pg\\_%' ORDER BY n.nspname")
                    .arg(names.join(QStringLiteral(", "))))) {
        *error = c.failure("cannot read", q.lastError());
        return false;
    }
    std::map<QString, std::map<std::string, FoundTable>> schemas;
    Row row(q);
    while (q.next()) {
        FoundTable& t = schemas[row["schema_name"].toString()][row.text("table_name")];
        t.plain = row["plain"].toBool();
        if (!row["column_name"].isNull())
            (row["is_generated"].toBool() ? t.generated : t.columns)
                .push_back(row.text("column_name"));
    }
    if (q.lastError().isValid()) {
        *error = c.failure("cannot read", q.lastError());
        return false;
    }
    q.finish();
    for (const auto& [schema, tables] : schemas)
        if (schema != QLatin1String("lumkest") && shapeProblem(tables, 1, true).empty())
            c.strays << schema;
    const auto own = schemas.find(QStringLiteral("lumkest"));
    if (own != schemas.end()) {
        const std::string wrong = c.shown + " is not a LUM Kest archive (its schema lumkest ";
        const auto versionTable = own->second.find("archive_version");
        if (versionTable == own->second.end() || !versionTable->second.plain) {
            *error = wrong + "holds other tables)";
            return false;
        }
        QSqlQuery v(c.db);
        if (!v.exec(c.sql("SELECT %C%max(version) AS version FROM %T%archive_version")) ||
            !v.next()) {
            *error = c.failure("cannot read", v.lastError());
            return false;
        }
        c.version = Row(v)["version"].toInt();
        if (c.version > Archive::kSchemaVersion) return true;  // refused by the caller
        const std::string why = c.version < 1 ? std::string("holds no version")
                                              : shapeProblem(own->second, c.version, true);
        if (!why.empty()) {
            c.version = 0;
            *error = wrong + why + ")";
            return false;
        }
        return true;
    }
    if (c.strays.isEmpty()) return true;
    c.oldSchema = c.strays.takeFirst();
    c.at = quotedName(c.oldSchema) + '.';
    c.version = 1;
    return true;
}

}  // namespace

bool Archive::Connection::findArchive(std::string* error) {
    version = 0;
    return postgres ? findOnServer(*this, error) : findInFile(*this, error);
}

std::string Archive::Connection::versionOneLine() const {
    QStringList all = strays;
    if (!oldSchema.isEmpty()) all.prepend(oldSchema);
    std::string names;
    for (const QString& s : all) names += (names.empty() ? "\"" : ", \"") + bytesOf(s) + "\"";
    return shown + " holds archives of version 1 in the schemas " + names +
           " (an older release put them where search_path pointed): they must be merged into "
           "the schema lumkest together";
}

bool Archive::Connection::newerVersion(std::string* error) const {
    *error = shown + " has archive schema version " + std::to_string(version) +
             "; this program reads versions 1 to " + std::to_string(kSchemaVersion) +
             " (made by a newer LUM Kest?)";
    return false;
}

bool Archive::Connection::mergeStrays(std::string* error) {
    for (const QString& schema : strays) {
        Connection s;
        s.borrowed = true;
        s.db = db;
        s.postgres = true;
        s.version = 1;
        s.at = quotedName(schema) + '.';
        s.shown = shown + " (schema \"" + bytesOf(schema) + "\")";
        SourcePlan plan;
        ArchiveImport merged;
        const bool ok =
            checkSource(s, &plan, error) && importInto(*this, s, plan, &merged, error) &&
            exec(QStringLiteral("DROP TABLE %1records, %1downloads, %1blocks, %1archive_version")
                     .arg(s.at),
                 "cannot write to", error);
        if (!ok) {
            if (!s.lastCode.isEmpty()) lastCode = s.lastCode;
            return false;
        }
    }
    strays.clear();
    return true;
}
