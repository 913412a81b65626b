// What the menu commands refuse while the sound device is busy.
#include "audio/command_guards.h"
#include "engine_test_support.h"

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

TEST(CommandGuards, FilesNeedAnIdleDeviceAndConnectionsNoRunningFile)
{
    UiRecorder ui;
    StateGuard saved;
    // Machine states: 0 idle, 1 and 2 a file playing or recording, 3 a call.
    for (int state : {0, 1, 2, 3}) {
        machineState = state;
        ui.messages.clear();
        EXPECT_EQ(playFileAllowed(), state == 0) << state;
        EXPECT_EQ(recordFileAllowed(), state == 0) << state;
        EXPECT_EQ(connectionAllowed(), state == 0 || state == 3) << state;
        if (state == 1)
            EXPECT_EQ(ui.messages, (std::vector<std::string>{
                                       "System Busy|Audio device occupied,\nPlaying not allowed!  ",
                                       "System Busy|Audio device occupied,\nRecording not allowed!",
                                       "System Busy|Audio device occupied,\nConnection not allowed!"}));
        else
            EXPECT_EQ(ui.messages.size(), state == 0 ? 0u : state == 3 ? 2u : 3u) << state;
    }
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

    // Mute ends a running transmission and leaves an ended one alone.
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
    EXPECT_FALSE(setFileName(std::string(128, 'b').c_str()));
    EXPECT_EQ(std::string(gstFileName), fits);
    EXPECT_EQ(ui.messages.size(), 1u);

}
