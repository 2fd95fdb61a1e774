// File: DoctorRepair.h
//
// The hive-file half of `qelconfig doctor`: a full check of each hive file, and `--repair`,
// which rebuilds a damaged hive from what can still be read (QelHiveRepair.h).
#pragma once

#include <string>
#include <vector>

#include "Command.h"
#include "Hive.h"
#include "QelPlatform.h"

namespace qelcli {

struct HiveLoss {
    bool isValue = false;
    std::u16string key;
    std::u16string name;
    std::string reason;
};

// What the registry said about one hive, item by item (see QelRegRepairHive).
struct HiveRepairReport {
    LSTATUS status = ERROR_SUCCESS;
    // missing, healthy, damaged, foreign, refused, unavailable, interrupted
    std::string state;
    std::vector<std::string> details;
    std::vector<std::string> moved;  // the new names of the file, its -wal and -shm
    bool rebuiltNoted = false;
    std::string rebuilt;  // empty when nothing was saved and no file was made
    unsigned long savedKeys = 0;
    unsigned long savedValues = 0;
    std::vector<HiveLoss> lost;
    std::vector<std::string> unreadable;
    std::vector<std::string> leftovers;  // files an interrupted run left, still there
    std::vector<std::string> removed;    // such files this run removed

    bool Complete() const { return lost.empty() && unreadable.empty(); }
};

// Off Windows: every page of the hive's file checked, nothing changed. Elsewhere an empty
// report (the system's registry is not a file of ours).
HiveRepairReport CheckHiveFile(Hive hive);

// doctor --repair.
Result RunDoctorRepair();

}  // namespace qelcli
