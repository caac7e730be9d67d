#include <gtest/gtest.h>

#include "device/ftdidriver.h"
#include "device/monitor.h"
#include "ftdichip.h"

TEST(Probe, Opens) {
    VirtualTester tester;
    FtdiChip chip(tester);
    fprintf(stderr, "root %s\n", chip.root().c_str());
    FtdiDriver d;
    DeviceHandle h = 0;
    ASSERT_EQ(d.openByDescription(kInstrumentDescription, kOpenByDescription, &h), 0);
    unsigned w = 0;
    EXPECT_EQ(d.write(h, "ID\r", 3, &w), 0);
    EXPECT_EQ(w, 3u);
    unsigned waiting = 0;
    EXPECT_EQ(d.getQueueStatus(h, &waiting), 0);
    EXPECT_EQ(waiting, 33u);
    EXPECT_EQ(d.close(h), 0);
}
