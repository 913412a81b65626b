// What the menu commands refuse while the sound device is busy, and the
// progress count the file threads leave for the GUI.
#include "audio/command_guards.h"
#include "core/progress.h"
#include "engine_test_support.h"

#include <string>

namespace {

struct StateGuard {
    int state = machineState, exitFlag = exitSendAudio;
    ~StateGuard()
    {
        machineState = state;
        exitSendAudio = exitFlag;
    }
};

} // namespace

TEST(CommandGuards, FileCommandsNeedAnIdleDevice)
{
    UiRecorder ui;
    StateGuard saved;
    for (int state : {1, 2, 3}) {
        machineState = state;
        EXPECT_FALSE(playFileAllowed()) << state;
        EXPECT_FALSE(recordFileAllowed()) << state;
    }
    ASSERT_EQ(ui.messages.size(), 6u);
    EXPECT_EQ(ui.messages[0], "System Busy|Audio device occupied,\nPlaying not allowed!  ");
    EXPECT_EQ(ui.messages[1], "System Busy|Audio device occupied,\nRecording not allowed!");
    machineState = 0;
    EXPECT_TRUE(playFileAllowed());
    EXPECT_TRUE(recordFileAllowed());
    EXPECT_EQ(ui.messages.size(), 6u);
}

TEST(CommandGuards, ConnectionsAreRefusedOnlyWhileAFileRuns)
{
    UiRecorder ui;
    StateGuard saved;
    machineState = 1;
    EXPECT_FALSE(connectionAllowed());
    machineState = 2;
    EXPECT_FALSE(connectionAllowed());
    machineState = 3; // a call runs: a new connection is allowed
    EXPECT_TRUE(connectionAllowed());
    machineState = 0;
    EXPECT_TRUE(connectionAllowed());
    ASSERT_EQ(ui.messages.size(), 2u);
    EXPECT_EQ(ui.messages[0], "System Busy|Audio device occupied,\nConnection not allowed!");
}

TEST(CommandGuards, CodecChangesWaitForTheTransmissionAndRecordingToEnd)
{
    StateGuard saved;
    CodecSelection codecs;
    testing::internal::CaptureStdout();
    exitSendAudio = 0;
    EXPECT_FALSE(compressionChangeAllowed());
    exitSendAudio = 1;
    machineState = 2;
    EXPECT_FALSE(compressionChangeAllowed());
    machineState = 0;
    EXPECT_TRUE(compressionChangeAllowed());
    selectCodec(CodecChoice::LdGsm);
    EXPECT_EQ(currentCodec(), CodecChoice::LdGsm);
    EXPECT_EQ(gsmcompress + ldgsmcompress + adpcmcompress + lpc10compress, 1);
    selectCodec(CodecChoice::Adpcm);
    EXPECT_EQ(selectedCodecWord(), 0x200u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Audio encoding busy!\nAudio encoding busy!\nAudio mode: LD-GSM\nAudio mode: ADPCM\n");
}

TEST(CommandGuards, MuteStopsOnlyARunningTransmission)
{
    StateGuard saved;
    exitSendAudio = 0;
    muteAudio();
    EXPECT_EQ(exitSendAudio, 1);
    muteAudio();
    EXPECT_EQ(exitSendAudio, 1);
}

TEST(CommandGuards, OverlongFileNamesAreRefusedWhole)
{
    UiRecorder ui;
    const std::string fits(127, 'a');
    EXPECT_TRUE(setFileName(fits.c_str()));
    EXPECT_EQ(std::string(gstFileName), fits);
    const std::string tooLong(128, 'b');
    EXPECT_FALSE(setFileName(tooLong.c_str()));
    EXPECT_EQ(std::string(gstFileName), fits);
    ASSERT_EQ(ui.messages.size(), 1u);
}

TEST(Progress, CountIsTheRemainderOfAHundred)
{
    moveProgressBar(100);
    EXPECT_EQ(progBarCount, 0);
    moveProgressBar(150);
    EXPECT_EQ(progBarCount, 50);
    moveProgressBar(-7);
    EXPECT_EQ(progBarCount, -7);
    moveProgressBar(99);
    EXPECT_EQ(progBarCount, 99);
}
