// The operator's messages and status texts, shared by the windows' worker and
// the command-line tool, which says the same things about the same causes.
#pragma once

namespace qmb {

inline constexpr char kMsgPortBusy[] = "Port is busy";
inline constexpr char kMsgWrongSection[] = "Wrong section ID. Must be 1..255";
inline constexpr char kMsgSectionParams[] = "Error reading section params";
inline constexpr char kMsgReadMemory[] = "Error reading memory";
inline constexpr char kMsgWrongData[] = "Wrong data";
inline constexpr char kMsgDataSize[] = "Incorrect data size for selected section";
inline constexpr char kMsgWriteMemory[] = "Error writing memory";
inline constexpr char kMsgUpdateEeprom[] = "Error updating EEPROM";

inline constexpr char kStatusIgnition[] = "Waiting for ignition ...";
inline constexpr char kStatusReading[] = "Reading EEP section...";
inline constexpr char kStatusWriting[] = "Writing EEP section ...";

}  // namespace qmb
