#include <gtest/gtest.h>

#include "unit/app/AppTest.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

class KavoMeetingsDesktopAppTest : public testing::AppTest {
protected:
    void launchSignedIn() {
        launch();
        ASSERT_EQ(app->session().phase().kind(), SessionPhase::Kind::signedIn);
    }
};

TEST_F(KavoMeetingsDesktopAppTest, ASignInServiceThatCannotBeMadeLeavesTheMenuWorking) {
    launch([]() -> std::shared_ptr<AuthService> { throw std::runtime_error("no client id"); });
    const auto signIn = item("Sign In");
    ASSERT_TRUE(signIn);
    app->perform(*signIn);
    main.runUntilIdle();
    EXPECT_TRUE(item("Sign-in is unavailable: no client id"));
    EXPECT_EQ(app->menu().back().title, "Quit");
}

TEST_F(KavoMeetingsDesktopAppTest, MenuActionsReachTheirObjects) {
    launchSignedIn();

    app->perform(*item("Record Meetings Automatically"));
    EXPECT_FALSE(app->autoCapture().isEnabled());
    EXPECT_EQ(defaults->boolValue("brindle.meetings.desktop.autoCaptureEnabled"), false);
    EXPECT_FALSE(item("Record Meetings Automatically")->isOn);
    app->perform(*item("Echo Cancellation"));
    EXPECT_EQ(defaults->boolValue("brindle.meetings.desktop.echoCancellationEnabled"), false);
    EXPECT_FALSE(item("Echo Cancellation")->isOn);
    activity.emit({"us.zoom.Zoom"});
    main.advance(5s);
    EXPECT_FALSE(app->capture().isRecording());

    app->perform(*item("Start Recording"));
    EXPECT_TRUE(app->capture().isRecording());
    EXPECT_FALSE(app->capture().startedAutomatically());
    run(1s);
    app->perform(*item("Stop Recording"));
    EXPECT_FALSE(app->capture().isRecording());
    settle();

    app->perform(*item("Report a Problem"));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports.front()->capture()) << "the report offers the capture just made";

    app->perform(app->menu().back());
    EXPECT_EQ(quits, 1);
}

TEST_F(KavoMeetingsDesktopAppTest, ACaptureOutlivingItsSignInCanBeStoppedAndWaitsForItsAccount) {
    launchSignedIn();
    app->perform(*item("Start Recording"));
    run(1s);
    app->perform(*item("Sign Out"));
    main.runUntilIdle();
    ASSERT_EQ(app->session().phase().kind(), SessionPhase::Kind::signedOut);
    ASSERT_TRUE(item("Stop Recording")) << "a running capture can always be stopped";
    app->perform(*item("Stop Recording"));
    settle();
    EXPECT_FALSE(app->capture().isRecording());
    EXPECT_EQ(requestsEndingWith("/uploads/init"), 0u);

    const CaptureSidecar sidecar = onlySidecar();
    ASSERT_TRUE(sidecar.account);
    EXPECT_EQ(sidecar.account->userId, "u-1") << "the capture keeps the account it began under";

    app->perform(*item("Sign In"));
    settle();
    settle();
    EXPECT_EQ(requestsEndingWith("/uploads/init"), 1u)
        << "delivered as soon as its account is back";
    EXPECT_FALSE(item("Sign in to upload this meeting."));
}

}  // namespace
}  // namespace kavo
