// Guards against a status line that shows the wrong call state: a stranger taken for the callee, a call that
// never ends in silence, an automatic answer that never lapses, and files or registration shown wrongly.
#include "audio/call_status.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::string line(bool transmitting = true)
{
    KvEngineStatus s;
    s.transmitting = transmitting;
    s.codec = KvCodec::Gsm;
    callStatusFill(s);
    return kvStatusLine(s).substr(0, kvStatusLine(s).find('\n'));
}

void wait(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms + 100)); }

} // namespace

TEST(CallStatus, FollowsCallsAndAnswersUntilTheyEnd)
{
    const uint32_t bob = inet_addr("10.0.0.2"), caller = inet_addr("10.0.0.7");
    callStatusDialed("bob", bob);
    EXPECT_EQ(line(), "Calling bob (10.0.0.2)\u2026");
    callStatusHeard(inet_addr("10.0.0.9")); // a stranger answers nothing
    EXPECT_EQ(line(), "Calling bob (10.0.0.2)\u2026");
    callStatusHeard(bob);
    EXPECT_EQ(line(), "In call with bob (10.0.0.2), GSM, 00:00");
    callStatusMuted();
    EXPECT_EQ(line(), "Muted");
    wait(kCallSilenceMs);
    EXPECT_EQ(line(false), "Call ended");
    callStatusDialed("10.0.0.2", bob); // a bare address is not named twice
    callStatusHeard(bob);
    callStatusTransmissionEnded();
    EXPECT_EQ(line(false), "Call ended");

    callStatusAnswered(caller);
    EXPECT_EQ(line(), "Answered 10.0.0.7 automatically \u2014 your microphone is live");
    EXPECT_FALSE(callStatusAutoAnswerLapsed());
    wait(kAutoAnswerLapseMs);
    EXPECT_TRUE(callStatusAutoAnswerLapsed());
    EXPECT_EQ(line(), "Call ended: 10.0.0.7 stopped sending; your microphone is still sent (Audio > Mute)");
    callStatusIncoming(caller);
    EXPECT_FALSE(callStatusAutoAnswerLapsed());
    EXPECT_EQ(line(false), "10.0.0.7 is calling \u2014 use Connect > New to answer");

    KvEngineStatus s;
    s.recording = s.directoryConnected = true;
    s.fileName = "penguin.vox";
    s.fileSeconds = 62;
    s.userName = "Zo\u00eb";
    s.serverName = "X";
    EXPECT_EQ(kvStatusLine(s), "Recording penguin.vox, 01:02\nRegistered as Zo\u00eb on server X");
}
