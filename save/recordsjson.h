#pragma once
// Reading back the records JSON that lumkest-cli writes (download --json and
// history --json, "format" 1 to 3): each record's raw texts and its tester.
// Plain C++.
//
// The file is read as JSON whole and strictly (RFC 8259: one value, no
// duplicate member, nothing after it), and then only the members that the
// raw record is: "deviceID" to "peakPressureTime", each a text of Latin-1
// characters within its field, "pressureUnits" one of the four unit names,
// "record" the record's position.  The typed values and the verdict follow
// from those texts and are not read.

#include <string>

#include "save/readback.h"

// False, with *why saying in one line what is wrong and where, for bytes
// that are no such JSON.  out->kind is Json, out->form Text (every byte of
// the texts, the unit by its name); out->tester is the tester of every
// record (download's "tester", or the one that each record of a history
// names), and empty when a history's records name several testers.
bool readRecordsJson(const std::string& bytes, SavedFileContents* out, std::string* why);
