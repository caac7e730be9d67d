#pragma once
// A private PostgreSQL server for the tests that use the archive: started
// before the first case by scripts/pg-test-server.sh (a fresh cluster, its
// Unix socket in a temporary folder, no TCP) and stopped after the last.
// Register it with ::testing::AddGlobalTestEnvironment(new PgEnvironment).

#include <gtest/gtest.h>
#include <unistd.h>

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace pgtest {

// The server's socket folder and port, or why it did not start.
struct PgServer {
    std::string dir, port, problem;
};
inline PgServer& pg() {
    static PgServer server;
    return server;
}

inline std::string tempFolder() {
    char name[] = "/tmp/lumkest-test-XXXXXX";
    const char* made = ::mkdtemp(name);
    if (!made) return std::string();
    namespace fs = std::filesystem;
    fs::permissions(made, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    return made;
}

// Starts the server in folder (made by tempFolder) and fills pg(); false,
// with pg().problem saying why, when it does not start.
inline bool startPgServer(const std::string& folder) {
    const std::string command =
        std::string(LUMKEST_PG_SERVER_SCRIPT) + " start " + folder + " >/dev/null";
    if (std::system(command.c_str()) != 0 || !std::ifstream(folder + "/server")) {
        pg().problem = "the PostgreSQL test server did not start (" + command + ")";
        return false;
    }
    std::ifstream(folder + "/server") >> pg().dir >> pg().port;
    return true;
}

inline void stopPgServer(const std::string& folder) {
    std::system((std::string(LUMKEST_PG_SERVER_SCRIPT) + " stop " + folder).c_str());
}

class PgEnvironment : public ::testing::Environment {
public:
    void SetUp() override { startPgServer(folder_ = tempFolder()); }
    void TearDown() override {
        stopPgServer(folder_);
        std::filesystem::remove_all(folder_);
    }

private:
    std::string folder_;
};

// A fresh, empty archive: a new SQLite file in folder, or a new database on
// the private server (empty when it cannot be made).
// createOptions: more options of createdb (an encoding, say).
inline std::string freshArchive(bool postgres, const std::string& folder,
                                const std::string& createOptions = "") {
    static int counter = 0;
    const std::string name = "a" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
    if (!postgres) return folder + "/" + name + ".db";
    const std::string make = "/usr/lib/postgresql/15/bin/createdb -h " + pg().dir + " -p " +
                             pg().port + " -U postgres " + createOptions + " " + name;
    if (pg().dir.empty() || std::system(make.c_str()) != 0) return std::string();
    return "postgresql://postgres@/" + name + "?host=" + pg().dir + "&port=" + pg().port;
}

// A plain Qt SQL connection named "raw" to an archive as freshArchive names
// it (an SQLite file or the private server's database), for setting up what
// the program under test then meets.
inline QSqlDatabase rawConnection(const std::string& archive) {
    const bool postgres = archive.rfind("postgresql://", 0) == 0;
    QSqlDatabase db = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", "raw");
    if (!postgres) {
        db.setDatabaseName(QString::fromStdString(archive));
        return db;
    }
    const std::size_t start = archive.find("@/") + 2;
    db.setDatabaseName(QString::fromStdString(archive.substr(start, archive.find('?') - start)));
    db.setHostName(QString::fromStdString(pg().dir));
    db.setPort(std::stoi(pg().port));
    db.setUserName("postgres");
    return db;
}

// An SQLite database of another program: a table named as one of the
// archive's and a user_version of its own.
inline void makeForeignDatabase(const std::string& file) {
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "foreign");
        db.setDatabaseName(QString::fromStdString(file));
        db.open();
        QSqlQuery q(db);
        q.exec("CREATE TABLE records (pump TEXT, due TEXT)");
        q.exec("INSERT INTO records VALUES ('IV-1', '2026-01-01')");
        q.exec("PRAGMA user_version = 1");
    }
    QSqlDatabase::removeDatabase("foreign");
}

}  // namespace pgtest
