// Guards against a wrong call state on the status line: a stranger taken for the callee, an answer never lapsing.
#include "audio/call_status.h"

#include <arpa/inet.h>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

TEST(CallStatus, FollowsCallsAndAnswersUntilTheyEnd)
{
    const uint32_t bob = inet_addr("10.0.0.2"), caller = inet_addr("10.0.0.7");
    auto after = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms + 100)); };
    const struct {
        std::function<void()> event;
        bool transmitting, lapsed;
        const char *line;
    } steps[] = {
        {[&] { callStatusDialed("bob", bob); }, true, false, "Calling bob (10.0.0.2)\u2026"},
        {[&] { callStatusHeard(inet_addr("10.0.0.9")); }, true, false, "Calling bob (10.0.0.2)\u2026"}, // a stranger
        {[&] { callStatusHeard(bob); }, true, false, "In call with bob (10.0.0.2), GSM, 00:00"},
        {callStatusTransmissionEnded, false, false, "Call ended"},
        {[&] { callStatusAnswered(caller); }, true, false, "Answered 10.0.0.7 automatically \u2014 your microphone is live"},
        {[&] { after(kAutoAnswerLapseMs); }, true, true,
         "Call ended: 10.0.0.7 stopped sending; your microphone is still sent (Audio > Mute)"},
        // Leaves no lapsed answer behind for a new sender to take over.
        {[&] { callStatusIncoming(caller); }, false, false, "10.0.0.7 is calling \u2014 use Connect > New to answer"},
    };
    for (const auto &step : steps) {
        step.event();
        EXPECT_EQ(callStatusAutoAnswerLapsed(), step.lapsed) << step.line;
        KvEngineStatus s;
        s.transmitting = step.transmitting;
        s.codec = KvCodec::Gsm;
        callStatusFill(s);
        EXPECT_EQ(kvStatusLine(s), std::string(step.line) + "\nNot connected");
    }
}
