// Reads the values of a CLDB's State.xml in one locked access of the state
// file, as the library itself reads it. Like every access of the state
// file, the read stamps LastAccessTime; the values returned are those found
// before the stamp.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Outcome.h"

struct StateValues {
  // The elements in document order, each with its value, or missing when
  // the element is absent or not a number.
  struct Element {
    const char* name;
    bool present = false;
    unsigned long long value = 0;
  };
  std::vector<Element> elements;

  // The value of `name`, or `fallback` when it is missing.
  unsigned long long Get(const char* name, unsigned long long fallback = 0) const;
};

// `cldbId` names the state file's lock. A folder with no State.xml fails
// with kExitBadInput, a State.xml that does not parse with kExitFailure.
Outcome ReadState(const std::string& folder, uint32_t cldbId, StateValues& values);

// "uninitialized", "opened", "closed" or "unknown".
const char* StateName(unsigned long long state);
