// Start-up and shut-down of the video side (decoder and display hand-over).
#pragma once

void initVideo();
void closeVideo();
