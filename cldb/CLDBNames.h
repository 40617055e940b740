// The names and constants that more than one file of the library (and the
// project's tool) must agree on: one home each. Not part of the installed
// API.
#pragma once

#include <cstdint>
#include <string>

namespace cldb {

constexpr uint32_t kSecondsPerDay = 86400;

// A CLDB's folder under its root: "ZEL_CLDB_APP_<client>_<copy>" for a
// client's CLDB of a copy, "ZEL_CLDB_AUX_<copy>" for an auxiliary copy's.
// (Clients of an earlier layout had "ZEL_CLDB_APP_<client>", which the
// library migrates.)
constexpr char kClientFolderPrefix[] = "ZEL_CLDB_APP_";
constexpr char kAuxFolderPrefix[] = "ZEL_CLDB_AUX_";
inline std::string ClientFolderName(uint32_t client, uint32_t copy) {
  return kClientFolderPrefix + std::to_string(client) + "_" + std::to_string(copy);
}
inline std::string AuxFolderName(uint32_t copy) { return kAuxFolderPrefix + std::to_string(copy); }

// The cache table's files in a CLDB folder: <base>.dat, <base>.idx, ...
constexpr char kTableBaseName[] = "CacheTable";

// The configuration section of a CLDB's table settings: "Warden" for an
// auxiliary copy, "Courier" for a client.
inline const char* ConfigSection(bool auxCopy) { return auxCopy ? "Warden" : "Courier"; }

// The elements of State.xml, in the order a new file has them (the last
// three are added when first written).
namespace state {
constexpr char kVersion[] = "Version";
constexpr char kState[] = "State";
constexpr char kCldbId[] = "CLDBID";
constexpr char kStoreId[] = "SIDBSTOREID";
constexpr char kLastCompactTime[] = "LastCompactTime";
constexpr char kRecordCount[] = "RECORDCOUNT";
constexpr char kLastAccessTime[] = "LastAccessTime";
constexpr char kOwner[] = "Owner";
constexpr char kNewestStamp[] = "NewestStamp";
constexpr const char* kCreated[] = {kVersion, kState,           kCldbId,
                                    kStoreId, kLastCompactTime, kRecordCount};
constexpr const char* kAll[] = {kVersion,        kState,           kCldbId,
                                kStoreId,        kLastCompactTime, kRecordCount,
                                kLastAccessTime, kOwner,           kNewestStamp};
}  // namespace state

}  // namespace cldb
