#include "video/video_hooks.h"

// The H.263 decoder and the display hand-over are not part of this build yet;
// AV files play their audio and skip their pictures.
void initVideo() {}
void closeVideo() {}
