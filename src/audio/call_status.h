// What the user's call looks like: who, since when, and whether the peer is
// still heard. Written by the receiver, the call controller and the commands
// from any thread; read as a snapshot for the status line.
#pragma once

#include "core/commands.h"

#include <cstdint>
#include <string>

// A call placed by the user to address; name is what the user chose (a list
// entry's name or the host name typed), empty for a bare address.
void callStatusDialed(const std::string &name, uint32_t address);
// A sender was answered automatically, or (without auto-answer) is calling.
void callStatusAnswered(uint32_t address);
void callStatusIncoming(uint32_t address);
// A datagram came from address: cheap, called for every one.
void callStatusHeard(uint32_t address);
void callStatusMuted();
// The transmission to the call's peer has ended.
void callStatusTransmissionEnded();
// True when the running call is an automatic answer whose caller has been
// silent for kAutoAnswerLapseMs: a new sender may then take it over.
bool callStatusAutoAnswerLapsed();

// appending: a recording goes onto the end of an existing file.
void fileStatusStarted(const std::string &path, bool recording, bool appending);
void directoryStatusServer(const std::string &server);

// Fills the call, file and directory parts of status.
void callStatusFill(KvEngineStatus &status);

// How long a peer may stay silent before its call counts as ended.
inline constexpr int kCallSilenceMs = 1000;
// How long an automatic answer's caller may be silent before another
// sender is answered instead.
inline constexpr int kAutoAnswerLapseMs = 2000;
