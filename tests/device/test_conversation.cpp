// Conversations between the link (monitor cycles and command passes) and the
// virtual tester, with a fake clock, so that waits of seconds run at once.

#include <cstring>

#include "device/decode.h"
#include "device/session.h"
#include "device/simoptions.h"
#include "linktest.h"
#include "steppedclock.h"

namespace {

const char* const kAttachedShort = "A new device has been detected.";
const char* const kAttachedLong =
    "A new device has been detected: \r\n"
    "It is recommended that the current data be saved or it may be overwritten.";
const char* const kDetachedShort = "The current device has been disconnected from the PC.";
const char* const kDetachedLong =
    "The current device has been disconnected from the PC.\r\r"
    "It is advised that you save your data.";

using Identity = LinkFixture;

TEST_F(Identity, AnsweredIdentityConnectsAndStartsTheCommandThread) {
    EXPECT_EQ(instrumentSerialText(), "");
    EXPECT_EQ(instrumentIdText(), "");
    tester.setIdentity("KS0401123456", "Dosimark Kest Bay 2");

    ASSERT_EQ(monitorCycle(), 0);

    EXPECT_NE(deviceHandle.load(), 0u);
    EXPECT_EQ(tester.commandsReceived(), std::vector<std::string>{"ID\r"});
    EXPECT_EQ(tester.readSizes(), std::vector<unsigned>{33});
    EXPECT_EQ(instrumentSerialText(), "KS0401123456");
    EXPECT_EQ(instrumentIdText(), "Dosimark Kest Bay 2");
    EXPECT_EQ(log.events(), (std::vector<std::string>{"status:Connected to Dosimark Kest",
                                                      "msg:Device Attached", "download:on"}));
    auto shown = messages.requests();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, kAttachedShort);
    EXPECT_EQ(shown[0].icon, MsgIcon::Information);
    EXPECT_EQ(shown[0].buttons, MsgButtons::Ok);
    EXPECT_TRUE(shown[0].onTop);
    EXPECT_EQ(starts(), 1);
    EXPECT_EQ(commandStop.load(), 0);

    // The next cycle only checks that the tester is still there.
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(tester.opens(), 1);
    EXPECT_EQ(messages.requests().size(), 1u);
}

TEST_F(Identity, MissingOrShortAnswerClosesAndRetriesSilently) {
    tester.setSilent(true);
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(deviceHandle.load(), 0u);
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(tester.opens(), 2);

    tester.setSilent(false);
    std::vector<std::uint8_t> shortReply = VirtualTester::buildIdentityReply("SN1", "ID1");
    shortReply.resize(32);
    tester.setIdentityReply(shortReply);
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(deviceHandle.load(), 0u);
    EXPECT_EQ(tester.opens(), 3);

    EXPECT_TRUE(messages.requests().empty());
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(starts(), 0);
    EXPECT_EQ(instrumentSerialText(), "");

    // Once it answers, the next attempt connects.
    tester.setIdentity("SN1", "ID1");
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_NE(deviceHandle.load(), 0u);
    EXPECT_EQ(instrumentSerialText(), "SN1");
}

TEST_F(Identity, AbsentTesterIsLookedForQuietly) {
    tester.unplug();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(deviceHandle.load(), 0u);
    EXPECT_EQ(tester.opens(), 0);
    EXPECT_TRUE(messages.requests().empty());
    EXPECT_TRUE(log.events().empty());
}

TEST_F(Identity, ShorterIdentityFullyReplacesLongerOne) {
    tester.setIdentity("ABCDEFGHIJKL", "ABCDEFGHIJKLMNOPQRST");
    connect();
    EXPECT_EQ(instrumentSerialText(), "ABCDEFGHIJKL");
    EXPECT_EQ(instrumentIdText(), "ABCDEFGHIJKLMNOPQRST");

    tester.unplug();
    ASSERT_EQ(monitorCycle(), 0);
    // The last identity stays after the tester has gone.
    EXPECT_EQ(instrumentIdText(), "ABCDEFGHIJKLMNOPQRST");

    tester.setIdentity("XY", "Z");
    tester.plugIn();
    connect();
    EXPECT_EQ(instrumentSerialText(), "XY");
    EXPECT_EQ(instrumentIdText(), "Z");
}

TEST_F(Identity, BytesAfterAZeroAreNotPartOfTheIdentity) {
    std::vector<std::uint8_t> reply = VirtualTester::buildIdentityReply("SER", "NAME");
    reply[5] = 'Q';  // after the serial's terminator
    reply[20] = 'Q';
    tester.setIdentityReply(reply);
    connect();
    EXPECT_EQ(instrumentSerialText(), "SER");
    EXPECT_EQ(instrumentIdText(), "NAME");
}

using AttachDetach = LinkFixture;

TEST_F(AttachDetach, TextsDependOnWhetherDataIsPresent) {
    struct Case {
        int haveData;
        const char* attached;
        const char* detached;
    };
    for (const Case& c : {Case{0, kAttachedShort, kDetachedShort},
                          Case{1, kAttachedLong, kDetachedLong}}) {
        SCOPED_TRACE(c.haveData);
        messages.clear();
        log.clear();
        haveData = c.haveData;
        tester.plugIn();
        ASSERT_EQ(monitorCycle(), 0);
        tester.unplug();
        ASSERT_EQ(monitorCycle(), 0);

        auto shown = messages.requests();
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0].caption, "Device Attached");
        EXPECT_EQ(shown[0].text, c.attached);
        EXPECT_EQ(shown[1].caption, "Device Disconnected");
        EXPECT_EQ(shown[1].text, c.detached);
        EXPECT_EQ(shown[1].icon, MsgIcon::Warning);
        EXPECT_EQ(shown[1].buttons, MsgButtons::Ok);
        // Download is disabled before the box; the status changes after it.
        EXPECT_EQ(log.events(),
                  (std::vector<std::string>{"status:Connected to Dosimark Kest",
                                            "msg:Device Attached", "download:on", "download:off",
                                            "msg:Device Disconnected", "status:Not Connected"}));
        EXPECT_EQ(deviceHandle.load(), 0u);
        EXPECT_EQ(commandStop.load(), 1);
    }
}

TEST_F(AttachDetach, RecordsStayAfterUnplugging) {
    connect();
    ASSERT_EQ(requestDownload(), LinkDownloadRequested);
    commandPass();
    commandPass();
    ASSERT_EQ(recordCount.load(), 123u);

    tester.unplug();
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(recordCount.load(), 123u);
    EXPECT_EQ(haveData.load(), 1);
    EXPECT_STREQ(recordStore().record(0).deviceID, "123-456-789-012");
    EXPECT_FALSE(view.downloadEnabled);
}

TEST_F(AttachDetach, UnplugEndsCommandPassesAndReplugStartsAFreshOne) {
    connect();
    EXPECT_EQ(commandPass(), 0);
    tester.unplug();
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(commandPass(), -1);
    EXPECT_EQ(commandStop.load(), 1);

    tester.plugIn();
    ASSERT_EQ(monitorCycle(), 0);
    EXPECT_EQ(starts(), 2);
    EXPECT_EQ(commandStop.load(), 0);
    EXPECT_EQ(commandPass(), 0);
}

TEST_F(AttachDetach, NoCommandThreadEndsTheMonitorWithMemoryError) {
    setThreadStartFailureForTest(true);
    EXPECT_EQ(monitorCycle(), -1);
    EXPECT_EQ(monitorStop.load(), 1);
    EXPECT_NE(deviceHandle.load(), 0u);  // the tester stays open
    auto shown = messages.requests();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[1].caption, "Memmory Error!");
    EXPECT_EQ(shown[1].text,
              "Communciations Error - The system may be low on memory.\r\n"
              "Please restart application.");
    EXPECT_EQ(shown[1].icon, MsgIcon::Error);
}

using Download = LinkFixture;

TEST_F(Download, ClickedTwiceSendsOneCommand) {
    connect();
    EXPECT_EQ(requestDownload(), LinkDownloadRequested);
    EXPECT_EQ(requestDownload(), -1);
    EXPECT_EQ(commandPass(), 0);
    EXPECT_EQ(LinkState.load(), LinkCommandSent);
    EXPECT_EQ(requestDownload(), -1);
    EXPECT_EQ(commandPass(), 0);
    EXPECT_EQ(LinkState.load(), LinkIdle);
    EXPECT_EQ(tester.commandsReceived(), std::vector<std::string>{"DD\r"});
    EXPECT_EQ(recordCount.load(), 123u);
}

TEST_F(Download, CompleteBlockIsReadAsHeaderAndRest) {
    struct Case {
        Delivery delivery;
        std::vector<unsigned> reads;
    };
    // In USB packets the first look finds one packet: a 3-byte header, and
    // the rest is waited for.
    for (const Case& c : {Case{Delivery::AtOnce, {3, 8191}}, Case{Delivery::Pieces, {2, 8192}},
                          Case{Delivery::AsUsb, {3, 8191}}}) {
        resetSharedStateForTest();
        tester.setDelivery(c.delivery);
        if (deviceHandle.load() == 0) connect();
        tester.clearCommands();
        ASSERT_EQ(requestDownload(), LinkDownloadRequested);
        commandPass();
        commandPass();
        EXPECT_EQ(tester.readSizes(), c.reads);
        EXPECT_EQ(tester.purges(), 1);  // before "DD\r" only
        ASSERT_EQ(recordCount.load(), 123u);
        auto expected = VirtualTester::defaultRecords();
        for (std::size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(std::memcmp(&expected[i], &recordStore().displayed()[i], sizeof(TestRecord)),
                      0)
                << i;
        EXPECT_TRUE(messages.requests().empty());
    }
}

TEST_F(Download, SingleWaitingByteIsLeftInTheDriver) {
    connect();
    tester.sendRaw({'B'});
    for (int i = 0; i < 3; ++i) commandPass();
    EXPECT_TRUE(tester.readSizes().empty());
    EXPECT_EQ(tester.purges(), 0);
    EXPECT_EQ(tester.waitingBytes(), 1u);
}

TEST_F(Download, SlowBlockTimesOutAndItsRestIsPurgedSilently) {
    tester.setDelivery(Delivery::TooSlow);
    connect();
    ASSERT_EQ(requestDownload(), LinkDownloadRequested);
    commandPass();
    commandPass();
    auto shown = messages.requests();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Data Transfer Error");
    EXPECT_EQ(shown[0].text,
              "A timeout occurred while attempting to transfer data.\r\rPlease try again.");
    EXPECT_EQ(shown[0].icon, MsgIcon::Information);
    EXPECT_FALSE(shown[0].onTop);
    EXPECT_EQ(tester.purges(), 2);  // before "DD\r", and after the timeout
    EXPECT_EQ(recordCount.load(), 0u);

    fakeClock.advance(1000);  // the rest arrives
    EXPECT_GT(tester.waitingBytes(), 8000u);
    commandPass();
    EXPECT_EQ(tester.waitingBytes(), 0u);
    EXPECT_EQ(tester.purges(), 3);
    EXPECT_EQ(messages.requests().size(), 1u);
    EXPECT_EQ(recordCount.load(), 0u);
}

TEST_F(Download, GarbageIsPurgedWithoutAMessage) {
    tester.setDelivery(Delivery::Garbage);
    connect();
    ASSERT_EQ(requestDownload(), LinkDownloadRequested);
    commandPass();
    commandPass();
    EXPECT_EQ(tester.purges(), 2);
    EXPECT_EQ(tester.waitingBytes(), 0u);
    EXPECT_TRUE(messages.requests().empty());
    EXPECT_EQ(recordCount.load(), 0u);
    EXPECT_EQ(LinkState.load(), LinkIdle);  // the user can ask again
}

TEST_F(Download, RecordIndexAbove128IsDropped) {
    connect();
    TestRecord r = VirtualTester::defaultRecords()[0];
    for (unsigned index : {129u, 200u, 255u}) {
        SCOPED_TRACE(index);
        tester.sendRaw(VirtualTester::buildSingleRecordBlock(r, index));
        commandPass();
        EXPECT_EQ(tester.waitingBytes(), 0u);
        EXPECT_EQ(recordCount.load(), 0u);
        EXPECT_EQ(view.presented.load(), 0);
    }
    EXPECT_TRUE(messages.requests().empty());

    // 128 is a slot like any other.
    tester.sendRaw(VirtualTester::buildSingleRecordBlock(r, 128));
    commandPass();
    EXPECT_EQ(recordCount.load(), 1u);
    EXPECT_EQ(recordStore().capacity(), 1u);
}

TEST_F(Download, UndecodableBlockGivesDataError) {
    connect();
    recordStore().replace(1, {VirtualTester::defaultRecords()[5]});
    recordStore().fillDisplay(1);
    tester.sendRaw(VirtualTester::buildSingleRecordBlock(emptyRecord(), 7));
    commandPass();
    auto shown = messages.requests();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Data Error");
    EXPECT_EQ(shown[0].text,
              "There were errors parsing transferred data\r\rPlease try downloading again.");
    EXPECT_EQ(shown[0].icon, MsgIcon::Information);
    EXPECT_FALSE(shown[0].onTop);
    EXPECT_EQ(tester.purges(), 1);
    EXPECT_STREQ(recordStore().record(0).deviceID, VirtualTester::defaultRecords()[5].deviceID);
}

TEST_F(Download, FailedCommandWriteLeavesTheLinkIdle) {
    connect();
    tester.unplug();  // the monitor has not noticed yet
    ASSERT_EQ(requestDownload(), LinkDownloadRequested);
    commandPass();
    EXPECT_EQ(LinkState.load(), LinkIdle);
    EXPECT_EQ(requestDownload(), LinkDownloadRequested);
}

using Announcement = LinkFixture;

TEST_F(Announcement, IsAcknowledgedAndItsBlockReceived) {
    connect();
    tester.sendAnnouncement(true, 3);
    commandPass();
    EXPECT_EQ(tester.commandsReceived(), std::vector<std::string>{"*\r"});
    EXPECT_EQ(LinkState.load(), LinkCommandSent);
    commandPass();
    ASSERT_EQ(recordCount.load(), 1u);
    EXPECT_STREQ(recordStore().record(0).deviceID, VirtualTester::defaultRecords()[2].deviceID);
}

TEST_F(Announcement, ThirdByteArrivingLaterIsRead) {
    connect();
    tester.sendRaw({'R', 'D'});
    tester.sendRaw({'\r'}, 20);
    commandPass();
    EXPECT_EQ(tester.readSizes(), (std::vector<unsigned>{2, 1}));
    EXPECT_EQ(tester.commandsReceived(), std::vector<std::string>{"*\r"});
}

TEST_F(Announcement, WrongBytesGetNoAcknowledgement) {
    connect();
    const std::vector<std::vector<std::uint8_t>> wrong = {
        {'R', 'D', 'X'}, {'R', 'D', '\n'}, {'R', 'X', '\r'}};
    for (const auto& bytes : wrong) {
        tester.sendRaw(bytes);
        commandPass();
    }
    tester.sendRaw({'R', 'D'});  // the third byte never comes
    commandPass();
    EXPECT_TRUE(tester.commandsReceived().empty());
    EXPECT_EQ(tester.purges(), 4);
    EXPECT_TRUE(messages.requests().empty());
}

// The same conversation with the real threads (on a sped-up clock).
class LiveLink : public LinkFixture {
protected:
    LiveLink() : LinkFixture(&fast) {}
    void SetUp() override {
        LinkFixture::SetUp();
        setCommandThreadManualForTest(false);
    }
    FastClock fast{50};
};

TEST_F(LiveLink, UnplugEndsTheCommandThreadAndReplugStartsAnother) {
    ASSERT_GT(startMonitorThread(), 0);
    ASSERT_TRUE(eventually([] { return commandThreadRunning(); }));
    ASSERT_TRUE(eventually([] { return requestDownload() == LinkDownloadRequested; }));
    ASSERT_TRUE(eventually([] { return recordCount.load() == 123u; }));

    tester.unplug();
    ASSERT_TRUE(eventually([] { return !commandThreadRunning(); }));
    EXPECT_EQ(deviceHandle.load(), 0u);

    tester.plugIn();
    // The start is counted just after the thread runs: wait for both.
    ASSERT_TRUE(eventually([this] { return commandThreadRunning() && starts() == 2; }));
    EXPECT_EQ(tester.opens(), 2);
}

// The program ends while the monitor is identifying a tester: the command
// thread that this last cycle still starts must end with the monitor.
class EndingLink : public LinkFixture {
protected:
    EndingLink() : LinkFixture(&stepped) {}
    void SetUp() override {
        LinkFixture::SetUp();
        setCommandThreadManualForTest(false);
    }
    SteppedClock stepped;
};

TEST_F(EndingLink, ACommandThreadStartedByTheLastCycleEndsWithTheMonitor) {
    ASSERT_GT(startMonitorThread(), 0);
    ASSERT_TRUE(stepped.waitIdle(1, 5000));
    stepped.advance(stepped.now() + 1000);  // the cycle opens the tester and asks "ID\r"
    ASSERT_TRUE(eventually([this] { return stepped.idle() == 1 && tester.opens() == 1; }));

    // As the program does at exit.
    stopMonitorThread();
    stopCommandThread();
    stepped.releaseAll();
    EXPECT_TRUE(waitForWorkers(5000));
    EXPECT_EQ(starts(), 1);
}

// A session (the command-line program's use of the link): each way the link
// can end gives its result; a block that reached decoding is kept as received.
// A fake clock that lets the tester act after each sleep.
class ActingClock : public FakeClock {
public:
    std::function<void(unsigned ms)> after;
    void sleep(unsigned ms) override {
        FakeClock::sleep(ms);
        if (after) after(ms);
    }
};

struct SessionCase {
    const char* name;
    std::function<void(VirtualTester&, ActingClock&)> prepare;
    std::uint64_t waitMs;
    SessionResult opened, downloaded;
    DriverOpenProblem whyNoTester = DriverOpenProblem::NotFound;
};

class Session : public LinkFixture, public ::testing::WithParamInterface<SessionCase> {
protected:
    Session() : LinkFixture(&clock) {}
    ActingClock clock;
};

TEST_P(Session, EndsInItsResult) {
    const SessionCase& c = GetParam();
    c.prepare(tester, clock);
    TesterSession session;
    const std::uint64_t start = clock.now();
    ASSERT_EQ(session.open(c.waitMs), c.opened);
    if (c.opened != SessionResult::Done) {
        EXPECT_GE(clock.now() - start, c.waitMs);  // it tried throughout the wait
        EXPECT_TRUE(session.block().empty());
        if (c.opened == SessionResult::NoTester) {
            EXPECT_EQ(driver()->lastOpenProblem(), c.whyNoTester);
        }
        return;
    }
    const std::uint64_t asked = clock.now();
    EXPECT_EQ(session.download(), c.downloaded);
    // A block there at once is in after the pauses that follow "DD\r" alone.
    if (c.downloaded == SessionResult::Done && tester.delivery() == Delivery::AtOnce) {
        EXPECT_EQ(clock.now() - asked, 50u + 25u);
    }
    // The block as sent, whenever one reached decoding.
    if (c.downloaded == SessionResult::Done)
        EXPECT_EQ(session.block(), VirtualTester::buildAllRecordsBlock(tester.records()));
    else if (c.downloaded == SessionResult::DataError)
        EXPECT_EQ(session.block(), VirtualTester::buildAllRecordsBlock({}));
    else
        EXPECT_TRUE(session.block().empty());
    EXPECT_EQ(recordCount.load(), c.downloaded == SessionResult::Done ? 123u : 0u);
}

void nothing(VirtualTester&, ActingClock&) {}
void absent(VirtualTester& t, ActingClock&) { t.unplug(); }
void pluggedInAfterTwoSeconds(VirtualTester& t, ActingClock& clock) {
    t.unplug();
    clock.after = [&t, waited = 0u](unsigned ms) mutable {
        if (ms == 1000 && (waited += ms) == 2000) t.plugIn();
    };
}
void unpluggedAfterCommand(VirtualTester& t, ActingClock& clock) {
    clock.after = [&t](unsigned ms) {
        if (ms == 50) t.unplug();  // the pause after "DD\r"
    };
}
auto delivering(Delivery d) {
    return [d](VirtualTester& t, ActingClock&) { t.setDelivery(d); };
}
auto rehearsing(const char* kind) {
    return [kind](VirtualTester& t, ActingClock&) { ASSERT_TRUE(applyVirtualFault(kind, &t)); };
}

using R = SessionResult;
INSTANTIATE_TEST_SUITE_P(
    Results, Session,
    ::testing::Values(
        SessionCase{"Downloaded", nothing, 0, R::Done, R::Done},
        SessionCase{"BlockInPieces", delivering(Delivery::Pieces), 0, R::Done, R::Done},
        SessionCase{"Absent", absent, 0, R::NoTester, R::Done},
        SessionCase{"AbsentThroughoutTheWait", absent, 3000, R::NoTester, R::Done},
        SessionCase{"PluggedInWhileWaited", pluggedInAfterTwoSeconds, 3000, R::Done, R::Done},
        SessionCase{"Silent", [](VirtualTester& t, ActingClock&) { t.setSilent(true); }, 0,
                    R::NoIdentity, R::Done},
        SessionCase{"GarbageOnly", delivering(Delivery::Garbage), 0, R::Done, R::NoAnswer},
        SessionCase{"TooSlow", delivering(Delivery::TooSlow), 0, R::Done, R::TransferTimeout},
        SessionCase{"NoRecords",
                    [](VirtualTester& t, ActingClock&) {
                        t.setBlockOverride(VirtualTester::buildAllRecordsBlock({}));
                    },
                    0, R::Done, R::DataError},
        SessionCase{"UnpluggedDuringDownload", unpluggedAfterCommand, 0, R::Done, R::Unplugged},
        // lumkest-cli's rehearsals of each failure on the virtual tester.
        SessionCase{"FaultSilent", rehearsing("silent"), 0, R::NoIdentity, R::Done},
        SessionCase{"FaultNoAnswer", rehearsing("no-answer"), 0, R::Done, R::NoAnswer},
        SessionCase{"FaultShort", rehearsing("short"), 0, R::Done, R::TransferTimeout},
        SessionCase{"FaultEmpty", rehearsing("empty"), 0, R::Done, R::DataError},
        SessionCase{"FaultBusy", rehearsing("busy"), 1000, R::NoTester, R::Done,
                    DriverOpenProblem::Busy}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
