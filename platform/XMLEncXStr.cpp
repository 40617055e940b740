#include "platform/XMLEncXStr.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

namespace {

// Used when Xerces-C cannot transcode (or is not initialised): ASCII passes
// through, everything else becomes '?'.
std::string AsciiForm(const XMLCh* text) {
  std::string out;
  for (; *text; ++text) out += (*text < 0x80) ? static_cast<char>(*text) : '?';
  return out;
}

}  // namespace

XMLEncXStr::XMLEncXStr(const char* text) : form_(text ? text : "(null)") {}

XMLEncXStr::XMLEncXStr(const XMLCh* text) {
  if (!text) {
    form_ = "(null)";
    return;
  }
  if (!xercesc::XMLPlatformUtils::fgTransService) {
    form_ = AsciiForm(text);
    return;
  }
  char* narrow = nullptr;
  try {
    narrow = xercesc::XMLString::transcode(text);
  } catch (...) {
    narrow = nullptr;
  }
  if (!narrow) {
    form_ = AsciiForm(text);
    return;
  }
  form_ = narrow;
  xercesc::XMLString::release(&narrow);
}
