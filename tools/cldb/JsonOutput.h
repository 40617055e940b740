// The one JSON document a `cldb` run writes on standard output with --json.
//
// A command hands its result to SetResult instead of printing it; main
// writes the document once the command has returned, so that a command that
// fails after it has a result (a partial backup, a verify that found bad
// blocks) still writes one document, with the error inside it. Every
// document is an object whose first key is "schema_version"; every key is
// snake_case (docs/json.md describes them all).
#pragma once

#include <nlohmann/json.hpp>

#include "Outcome.h"

namespace cldb::json {

// Raised whenever a key is renamed or removed or its meaning changes.
constexpr int kSchemaVersion = 2;

// Keeps `result`, an object, as the run's document; a later call replaces it.
void SetResult(nlohmann::ordered_json result);

// Writes the document on standard output: the result (or an empty one),
// and when `exitCode` is not 0 an "error" object with `message` and the
// exit code. Strings are bytes the tool met (paths above all): each byte
// that is not part of valid UTF-8 is written as U+FFFD, so the output is
// always valid JSON.
void Write(int exitCode, const std::string& message);

}  // namespace cldb::json
