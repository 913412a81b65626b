// The status line's call part as the engine's events move it on: a placed
// call, an answer heard, silence, Mute, an automatic answer and one left
// unanswered, and an automatic answer that a new sender may take over.
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
    return kvStatusLine(s);
}

} // namespace

TEST(CallStatus, FollowsACallFromDialToSilence)
{
    const uint32_t bob = inet_addr("10.0.0.2");
    callStatusDialed("bob", bob);
    EXPECT_EQ(line(), "Calling bob (10.0.0.2)\u2026\nNot connected");
    callStatusHeard(inet_addr("10.0.0.9")); // a stranger answers nothing
    EXPECT_EQ(line(), "Calling bob (10.0.0.2)\u2026\nNot connected");
    callStatusHeard(bob);
    EXPECT_EQ(line(), "In call with bob (10.0.0.2), GSM, 00:00\nNot connected");
    callStatusMuted();
    EXPECT_EQ(line(), "Muted\nNot connected");
    std::this_thread::sleep_for(std::chrono::milliseconds(kCallSilenceMs + 100));
    EXPECT_EQ(line(false), "Call ended\nNot connected");

    callStatusDialed("10.0.0.2", bob); // a bare address is not named twice
    callStatusHeard(bob);
    callStatusTransmissionEnded();
    EXPECT_EQ(line(false), "Call ended\nNot connected");
}

TEST(CallStatus, AutomaticAnswersAndUnansweredCallers)
{
    const uint32_t caller = inet_addr("10.0.0.7");
    callStatusAnswered(caller);
    EXPECT_EQ(line(), "Answered 10.0.0.7 automatically \u2014 your microphone is live\nNot connected");
    EXPECT_FALSE(callStatusAutoAnswerLapsed());
    std::this_thread::sleep_for(std::chrono::milliseconds(kAutoAnswerLapseMs + 100));
    EXPECT_TRUE(callStatusAutoAnswerLapsed());
    EXPECT_EQ(line(), "Call ended: 10.0.0.7 stopped sending; your microphone is still sent (Audio > Mute)\n"
                      "Not connected");
    callStatusIncoming(caller);
    EXPECT_FALSE(callStatusAutoAnswerLapsed());
    EXPECT_EQ(line(false), "10.0.0.7 is calling \u2014 use Connect > New to answer\nNot connected");

    KvEngineStatus s;
    s.recording = s.directoryConnected = true;
    s.fileName = "penguin.vox";
    s.fileSeconds = 62;
    s.userName = "Zo\u00eb";
    s.serverName = "X";
    EXPECT_EQ(kvStatusLine(s), "Recording penguin.vox, 01:02\nRegistered as Zo\u00eb on server X");
}
