// The balancing controller: the WAN2LAN chain over the controller's
// lifetime, the tables it follows, and its debug-mode log lines.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kor/cfg/ActionQueue.h"
#include "kor/cfg/IConfigAccess.h"
#include "kor/cfg/RecordingExecutor.h"
#include "moduna/NameList.h"
#include "quorin.h"

namespace {

using Lines = std::vector<std::string>;
using moduna::protocol::EResultCode;

// Configuration access with no tables at all.
class EmptyAccess : public kor::cfg::IConfigAccess {
public:
    EResultCode getEntryCount(const std::string&, unsigned& count) override {
        count = 0;
        return EResultCode(EResultCode::RC_OK);
    }
    EResultCode readEntry(const std::string&, unsigned, moduna::NameList&, moduna::ValueList&) override {
        return EResultCode(EResultCode::RC_NOT_FOUND);
    }
    EResultCode findEntry(const std::string&, const std::string&, const std::string&, moduna::NameList&,
                          moduna::ValueList&) override {
        return EResultCode(EResultCode::RC_NOT_FOUND);
    }
    EResultCode startTransaction() override { return EResultCode(EResultCode::RC_OK); }
    EResultCode endTransaction() override { return EResultCode(EResultCode::RC_OK); }
};

const Lines wan2lanCreation = {
    "iptables -t mangle -N WAN2LAN",
    "iptables -t mangle -I WAN2LAN -j CONNMARK --save-mark",
    "iptables -t mangle -I WAN2LAN -j CONNMARK --restore-mark",
    "iptables -t mangle -A WAN2LAN -j RETURN",
};

// The controller's cleanup, then the second delete once the groups have
// taken their jumps into the chain away.
const Lines wan2lanRemoval = {
    "iptables -t mangle -F WAN2LAN",
    "iptables -t mangle -X WAN2LAN",
    "iptables -t mangle -X WAN2LAN",
};

class ControllerChain : public ::testing::Test {
protected:
    std::shared_ptr<kor::cfg::RecordingExecutor> executor = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue{executor};
    EmptyAccess access;
};

TEST_F(ControllerChain, FirstCommitCreatesWan2LanAndRunsItAtOnce) {
    kor::quorin::quorin controller;
    controller.commitToSystem(access, queue);
    EXPECT_EQ(executor->take(), wan2lanCreation);
    EXPECT_EQ(queue.pending(), 0u) << "the creation lines are processed inside the commit";
}

TEST_F(ControllerChain, LaterCommitsDoNotCreateItAgain) {
    kor::quorin::quorin controller;
    controller.commitToSystem(access, queue);
    executor->take();
    controller.commitToSystem(access, queue);
    controller.loadFromConfig(access, "");
    controller.commitToSystem(access, queue);
    EXPECT_EQ(executor->take(), Lines{});
}

TEST_F(ControllerChain, DestructionFlushesAndDeletesItThenDeletesItOnceMore) {
    {
        kor::quorin::quorin controller;
        controller.commitToSystem(access, queue);
        executor->take();
    }
    EXPECT_EQ(executor->take(), wan2lanRemoval);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST_F(ControllerChain, DestructionUsesTheQueueOfTheLatestCommit) {
    auto laterExecutor = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue laterQueue{laterExecutor};
    {
        kor::quorin::quorin controller;
        controller.commitToSystem(access, queue);
        controller.commitToSystem(access, laterQueue);
    }
    EXPECT_EQ(executor->take(), wan2lanCreation);
    EXPECT_EQ(laterExecutor->take(), wan2lanRemoval);
}

TEST_F(ControllerChain, ControllerNeverCommittedLeavesNothingToRemove) {
    {
        kor::quorin::quorin controller;
        controller.loadFromConfig(access, "");
        controller.loadFromConfig(access, "Balancing");
    }
    EXPECT_EQ(executor->take(), Lines{});
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(ControllerTables, NamesTheSevenTablesInOrderAfterWhatTheListHolds) {
    kor::quorin::quorin controller;
    moduna::NameList names;
    names.add("Other");
    controller.getTableNames(names);
    const Lines expected = {"Other",
                            "Balancing",
                            "BalancingGroups",
                            "BalancingInterfaces",
                            "BalancingServices",
                            "StatusNetifWatch",
                            "DefaultWANGateway",
                            "InterfaceMapping"};
    EXPECT_EQ(Lines(names.begin(), names.end()), expected);
}

// Log lines go to standard error while logging is on the console.
class ControllerLog : public ::testing::Test {
protected:
    std::shared_ptr<kor::cfg::RecordingExecutor> executor = std::make_shared<kor::cfg::RecordingExecutor>();
    kor::cfg::ActionQueue queue{executor};
    EmptyAccess access;

    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(ControllerLog, DebugModeIsReportedEvenWhenItDoesNotChange) {
    kor::quorin::quorin controller;
    ::testing::internal::CaptureStderr();
    controller.setDebugMode(false);
    controller.setDebugMode(true);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(log, "INFO quorin quorin:")) << "module and source file are quorin: " << log;
    EXPECT_TRUE(contains(log, " setDebugMode: Debug mode is set to 0!\n")) << log;
    EXPECT_TRUE(contains(log, " setDebugMode: Debug mode is set to 1!\n")) << log;
    EXPECT_TRUE(controller.getDebugMode());
}

TEST_F(ControllerLog, NotificationAndCommitAreReportedOnlyInDebugMode) {
    kor::quorin::quorin controller;
    ::testing::internal::CaptureStderr();
    controller.loadFromConfig(access, "BalancingGroups");
    controller.commitToSystem(access, queue);
    const std::string quiet = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(contains(quiet, "Notification on table")) << quiet;
    EXPECT_FALSE(contains(quiet, "commitToSystem is called")) << quiet;

    controller.setDebugMode(true);
    ::testing::internal::CaptureStderr();
    controller.loadFromConfig(access, "BalancingGroups");
    controller.commitToSystem(access, queue);
    const std::string verbose = ::testing::internal::GetCapturedStderr();
    // Two blanks before the table name.
    EXPECT_TRUE(contains(verbose, " loadFromConfig: Notification on table  BalancingGroups received.\n")) << verbose;
    EXPECT_TRUE(contains(verbose, " commitToSystem: commitToSystem is called\n")) << verbose;
}

}  // namespace
