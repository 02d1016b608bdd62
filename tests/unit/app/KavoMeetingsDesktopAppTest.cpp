#include <gtest/gtest.h>

#include "unit/app/AppTest.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

using KavoMeetingsDesktopAppTest = testing::AppTest;

TEST_F(KavoMeetingsDesktopAppTest, ASignInServiceThatCannotBeMadeLeavesTheMenuWorking) {
    launch([]() -> std::shared_ptr<AuthService> { throw std::runtime_error("no client id"); });
    choose("Sign In");
    main.runUntilIdle();
    EXPECT_TRUE(shows("Sign-in is unavailable: no client id"));
    EXPECT_EQ(app->menu().back().title, "Quit");
}

TEST_F(KavoMeetingsDesktopAppTest, MenuActionsReachTheirObjects) {
    launch();
    choose("Record Meetings Automatically");
    EXPECT_FALSE(app->autoCapture().isEnabled());
    EXPECT_FALSE(item("Record Meetings Automatically")->isOn);
    choose("Echo Cancellation");
    EXPECT_EQ(defaults->boolValue("brindle.meetings.desktop.echoCancellationEnabled"), false);
    EXPECT_FALSE(item("Echo Cancellation")->isOn);
    activity.emit({"us.zoom.Zoom"});
    main.advance(5s);
    EXPECT_FALSE(app->capture().isRecording()) << "automatic capture is off";

    choose("Start Recording");
    run(1s);
    choose("Stop Recording");
    settle();
    choose("Report a Problem");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports.front()->capture()) << "the report offers the capture just made";
    app->perform(app->menu().back());
    EXPECT_EQ(quits, 1);
}

// A capture keeps the account it began under, and goes once that account is back.
TEST_F(KavoMeetingsDesktopAppTest, ACaptureOutlivingItsSignInCanBeStoppedAndWaitsForItsAccount) {
    launch();
    choose("Start Recording");
    run(1s);
    choose("Sign Out");
    main.runUntilIdle();
    choose("Stop Recording");
    settle();
    EXPECT_FALSE(app->capture().isRecording());
    EXPECT_EQ(requestsEndingWith("/uploads/init"), 0u);
    const CaptureSidecar sidecar = onlySidecar();
    ASSERT_TRUE(sidecar.account);
    EXPECT_EQ(sidecar.account->userId, "u-1");

    choose("Sign In");
    settle();
    settle();
    EXPECT_EQ(requestsEndingWith("/uploads/init"), 1u);
}

}  // namespace
}  // namespace kavo
