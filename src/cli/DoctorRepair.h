// File: DoctorRepair.h
//
// The hive-file half of `qelconfig doctor`: a full check of each hive file, and `--repair`,
// which rebuilds a damaged hive from what can still be read (QelHiveRepair.h).
#pragma once

#include <string>
#include <vector>

#include "Command.h"
#include "Hive.h"
#include "QelRegistry.h"

namespace qelcli {

// What the full check of a hive's file found, for plain doctor (the registry's report, see
// QelHiveRepair.h, is not part of the Windows build).
struct HiveFileCheck {
    std::vector<std::string> leftovers;  // files an interrupted run left beside the hive
    bool damaged = false;
    std::vector<std::string> details;  // why damaged
};

// Off Windows: every page of the hive's file checked, nothing changed. Elsewhere nothing found
// (the system's registry is not a file of ours).
HiveFileCheck CheckHiveFile(Hive hive);

// doctor --repair.
Result RunDoctorRepair();

}  // namespace qelcli
