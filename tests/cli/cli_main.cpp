// lumkest-cli's tests: one application object for all, offscreen, and the
// private PostgreSQL server the archive's cases use.

#include <gtest/gtest.h>

#include <QApplication>

#include "tests/pgserver.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new pgtest::PgEnvironment);
    return RUN_ALL_TESTS();
}
