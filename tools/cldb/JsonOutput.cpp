#include "JsonOutput.h"

#include <cstdio>
#include <utility>

namespace cldb::json {
namespace {

nlohmann::ordered_json& Result() {
  static nlohmann::ordered_json result = nlohmann::ordered_json::object();
  return result;
}

}  // namespace

void SetResult(nlohmann::ordered_json result) { Result() = std::move(result); }

void Write(int exitCode, const std::string& message) {
  nlohmann::ordered_json document = {{"schema_version", kSchemaVersion}};
  for (auto& item : Result().items()) document[item.key()] = std::move(item.value());
  if (exitCode != kExitOk) document["error"] = {{"message", message}, {"exit_code", exitCode}};
  const std::string text =
      document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace cldb::json
