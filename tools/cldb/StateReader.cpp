#include "StateReader.h"

#include <cstring>

#include "cldb/CLDBNames.h"
#include "cldb/CLDBStateFile.h"
#include "cldb/CLDBTypes.h"
#include "platform/EvDebug.h"

namespace {

struct Name {
  const char* element;
  const char* key;
};

const Name kElements[] = {
    {cldb::state::kVersion, "version"},
    {cldb::state::kState, "state"},
    {cldb::state::kCldbId, "cldb_id"},
    {cldb::state::kStoreId, "sidb_store_id"},
    {cldb::state::kLastCompactTime, "last_compact_time"},
    {cldb::state::kRecordCount, "record_count"},
    {cldb::state::kLastAccessTime, "last_access_time"},
    {cldb::state::kOwner, "owner"},
};

}  // namespace

unsigned long long StateValues::Get(const char* name, unsigned long long fallback) const {
  for (const Element& element : elements)
    if (std::strcmp(element.name, name) == 0 && element.present) return element.value;
  return fallback;
}

Outcome ReadState(const std::string& folder, StateValues& values) {
  EvDebug log;
  bool exists = false;
  if (CCLDBStateFile::Exists(folder.c_str(), exists, &log) != 0 || !exists)
    return Outcome::Fail(kExitBadInput, "no State.xml in '" + folder + "'");
  CCLDBStateFile state;
  if (state.OpenForReading(folder.c_str()) != 0)
    return Outcome::Fail(kExitFailure, "State.xml in '" + folder +
                                           "' cannot be read or parsed (not a small regular "
                                           "file, or damaged)");
  values.elements.clear();
  for (const Name& name : kElements) {
    StateValues::Element element;
    element.name = name.element;
    element.key = name.key;
    element.present = state.GetElementText(name.element, element.value) == 0;
    values.elements.push_back(element);
  }
  state.Close();
  return Outcome::Ok();
}

const char* StateName(unsigned long long state) {
  switch (state) {
    case CLDB_STATE_UNINITIALIZED:
      return "uninitialized";
    case CLDB_STATE_OPENED:
      return "opened";
    case CLDB_STATE_CLOSED:
      return "closed";
    default:
      return "unknown";
  }
}
