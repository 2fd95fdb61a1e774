// File: QelConfigIndex.h
//
// Library-internal: how the constructor turns the static tables into the object's indexes.
#pragma once

#include <map>

#include "QelCapsTable.h"
#include "QelConfigTable.h"

// Copies every row into the index under its identifier, in table order; a later row with the
// same identifier replaces the earlier one whole.
void BuildConfigIndex(const ConfigEntry* rows, int rowCount,
                      std::map<ConfigKey, ConfigEntry>& index);

// Folds capability rows into the index, in table order: a base row (sub-key 1) replaces the
// capability's entry whole, overrides included; an override row sets one override of an existing
// entry and is dropped when the capability has no entry yet.
void FoldCapsTable(const CapsRow* rows, int rowCount, std::map<CapsKey, CapsEntry>& index);

// Combines the accumulated value with the next one under a capability's rule.
void CombineCapsValues(CComVariant& accumulated, const CComVariant& next, CapsRule rule);
