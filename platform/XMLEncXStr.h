// XMLEncXStr: printable narrow form of a narrow or 16-bit XML string.
// Characters that cannot be transcoded become '?'; a null input is "(null)".
#pragma once

#include <string>
#include <xercesc/util/XercesDefs.hpp>

class XMLEncXStr {
 public:
  explicit XMLEncXStr(const char* text);
  explicit XMLEncXStr(const XMLCh* text);
  const char* StringForm() const { return form_.c_str(); }

 private:
  std::string form_;
};
