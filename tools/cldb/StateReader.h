// Reads the values of a CLDB's State.xml for display, through the library's
// read-only access (CCLDBStateFile::OpenForReading): no lock is taken or
// made and nothing is written, so a user who may only read the folder can
// look, and looking does not stamp LastAccessTime.
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
    const char* name;  // as State.xml names it
    const char* key;   // the snake_case key of the JSON output
    bool present = false;
    unsigned long long value = 0;
  };
  std::vector<Element> elements;

  // The value of `name`, or `fallback` when it is missing.
  unsigned long long Get(const char* name, unsigned long long fallback = 0) const;
};

// A folder with no State.xml fails with kExitBadInput; one that is not a
// small regular file, or does not parse, with kExitFailure.
Outcome ReadState(const std::string& folder, StateValues& values);

// "uninitialized", "opened", "closed" or "unknown".
const char* StateName(unsigned long long state);
