// The checks the menu commands make before they start engine work: the sound
// device serves one activity at a time.
#pragma once

// Return true when the command may open its file selector; otherwise they show
// the "System Busy" box.
bool playFileAllowed();
bool recordFileAllowed();

// Stores a chosen path in gstFileName. A path that does not fit is refused
// with a message box and false.
bool setFileName(const char *path);

// Starts the playing thread (playNotRecord 1) or the recording thread on
// gstFileName.
void startFileThread();

// "/Connect/New" and "/Connect/Open": refused while a file plays or records.
bool connectionAllowed();

// The compression dialog: refused while a transmission or a recording runs
// (prints "Audio encoding busy!").
bool compressionChangeAllowed();

// The codecs of the compression dialog, in its order.
enum class CodecChoice { Adpcm, Gsm, LdGsm, Lpc10 };
// Sets that codec's flag, clears the others and prints "Audio mode: ...".
void selectCodec(CodecChoice choice);
CodecChoice currentCodec();
