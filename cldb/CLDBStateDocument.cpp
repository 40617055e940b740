// CCLDBStateFile's document: State.xml parsed from memory, built new,
// serialised, and its elements read and written. The file, its lock and
// its transactions are CLDBStateFile.cpp's.
#include <cstdio>
#include <iterator>
#include <string>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>

#include "cldb/CLDBNames.h"
#include "cldb/CLDBStateFile.h"
#include "cldb/CLDBTypes.h"
#include "platform/XMLEncXStr.h"
#include "platform/ZelAssert.h"

using namespace XERCES_CPP_NAMESPACE;

namespace {

const char kSource[] = "CLDBStateFile";
// Room for a whole file (a larger one is damaged, never written).
const unsigned int kBufferCapacity = 1023;
// Our own files use no entities at all; this only stops expansion bombs.
const XMLSize_t kMaxEntityExpansions = 64;

// A narrow string in Xerces' 16-bit form, sized to its input.
class XStr {
 public:
  explicit XStr(const char* text) : text_(XMLString::transcode(text)) {}
  ~XStr() { XMLString::release(&text_); }
  XStr(const XStr&) = delete;
  XStr& operator=(const XStr&) = delete;
  const XMLCh* get() const { return text_; }

 private:
  XMLCh* text_;
};

struct XercesReleaser {
  template <typename T>
  void operator()(T* object) const {
    object->release();
  }
};

// Validation runs with no grammar, so every element draws a validity error;
// those are ignored. A well-formedness (fatal) error fails the parse.
class ParseErrors : public ErrorHandler {
 public:
  void warning(const SAXParseException&) override {}
  void error(const SAXParseException&) override {}
  void fatalError(const SAXParseException& e) override {
    if (failed_) return;
    failed_ = true;
    message_ = XMLEncXStr(e.getMessage()).StringForm();
    line_ = e.getLineNumber();
    column_ = e.getColumnNumber();
  }
  void resetErrors() override { failed_ = false; }

  bool failed() const { return failed_; }
  const char* message() const { return message_.c_str(); }
  unsigned long long line() const { return line_; }
  unsigned long long column() const { return column_; }

 private:
  bool failed_ = false;
  std::string message_;
  unsigned long long line_ = 0;
  unsigned long long column_ = 0;
};

bool IsText(const DOMNode* node) {
  return node && (node->getNodeType() == DOMNode::TEXT_NODE ||
                  node->getNodeType() == DOMNode::CDATA_SECTION_NODE);
}

int ScanNumber(const char* text, unsigned int& value) { return sscanf(text, "%u", &value); }

int ScanNumber(const char* text, unsigned long long& value) { return sscanf(text, "%llu", &value); }

}  // namespace

void CCLDBStateFile::DocumentReleaser::operator()(DOMDocument* document) const {
  document->release();
}

// Parses `text`, the content of path_, into document_; on failure logs,
// holds no document and returns -1.
int CCLDBStateFile::Parse(const std::string& text) {
  XercesDOMParser parser(nullptr, XMLPlatformUtils::fgMemoryManager, nullptr);
  parser.setValidationScheme(XercesDOMParser::Val_Always);
  // Validation forces the external DTD to load whatever setLoadExternalDTD
  // says; refusing default entity resolution is what keeps the parser from
  // reading any file but ours (an external reference becomes a fatal error).
  parser.setLoadExternalDTD(false);
  parser.setDisableDefaultEntityResolution(true);
  parser.setCreateEntityReferenceNodes(false);
  SecurityManager limits;
  limits.setEntityExpansionLimit(kMaxEntityExpansions);
  parser.setSecurityManager(&limits);
  ParseErrors errors;
  parser.setErrorHandler(&errors);

  try {
    MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                             path_.c_str());
    parser.parse(source);
  } catch (const XMLException& e) {
    log_->debugLvl(-1,
                   "Cannot initialize xerces library. Error type [%s], code [%d], message [%s], "
                   "line [%d], file [%s]",
                   XMLEncXStr(e.getType()).StringForm(), static_cast<int>(e.getCode()),
                   XMLEncXStr(e.getMessage()).StringForm(), static_cast<int>(e.getSrcLine()),
                   XMLEncXStr(e.getSrcFile()).StringForm());
    return -1;
  } catch (const DOMException& e) {
    log_->debugLvl(1, "Cannot parse [%s], DOM error [%s]", path_.c_str(),
                   XMLEncXStr(e.getMessage()).StringForm());
    return -1;
  } catch (const OutOfMemoryException&) {
    log_->debugLvl(1, "Cannot parse [%s], out of memory", path_.c_str());
    return -1;
  } catch (...) {
    log_->debugLvl(1, "Cannot parse [%s], unexpected exception", path_.c_str());
    return -1;
  }
  if (errors.failed()) {
    log_->debugLvl(1, "Cannot parse [%s], line [%llu], column [%llu], message [%s]", path_.c_str(),
                   errors.line(), errors.column(), errors.message());
    return -1;
  }
  document_.reset(parser.adoptDocument());
  modified_ = false;
  if (!document_ || !document_->getDocumentElement()) {
    log_->debugLvl(1, "Parser->adoptDocument failed");
    Discard();
    return -1;
  }
  return 0;
}

void CCLDBStateFile::BuildDocument(unsigned int SIDBStoreId, unsigned int createTime) {
  static const XMLCh kRange[] = {'R', 'a', 'n', 'g', 'e', 0};
  static const XMLCh kRoot[] = {'C', 'L', 'D', 'B', 0};
  DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(kRange);
  document_.reset(impl->createDocument(nullptr, kRoot, nullptr, XMLPlatformUtils::fgMemoryManager));

  // The ids go out signed, as they always have; the unsigned read brings
  // back the same 32 bits.
  char text[6][32];
  snprintf(text[0], sizeof(text[0]), "%d", static_cast<int>(CLDB_VERSION));
  snprintf(text[1], sizeof(text[1]), "%d", 0);
  snprintf(text[2], sizeof(text[2]), "%d", static_cast<int>(cldbId_));
  snprintf(text[3], sizeof(text[3]), "%d", static_cast<int>(SIDBStoreId));
  snprintf(text[4], sizeof(text[4]), "%u", createTime);
  snprintf(text[5], sizeof(text[5]), "%d", 0);
  const char* const* kNames = cldb::state::kCreated;
  static_assert(std::size(cldb::state::kCreated) == 6, "one text per element");
  DOMElement* root = document_->getDocumentElement();
  for (int i = 0; i < 6; ++i) {
    XStr name(kNames[i]);
    XStr value(text[i]);
    DOMElement* element = document_->createElement(name.get());
    root->appendChild(element);
    element->appendChild(document_->createTextNode(value.get()));
  }
}

// Serialises the document into buffer_ as UTF-8 XML 1.0 with the
// declaration the sanity check expects, whatever the parsed file declared.
int CCLDBStateFile::Serialize() {
  static const XMLCh kLS[] = {'L', 'S', 0};
  static const XMLCh kUtf8[] = {'U', 'T', 'F', '-', '8', 0};
  static const XMLCh kXml10[] = {'1', '.', '0', 0};
  if (!buffer_) buffer_ = std::make_unique<MemBufFormatTarget>(kBufferCapacity);
  buffer_->reset();

  auto* impl =
      static_cast<DOMImplementationLS*>(DOMImplementationRegistry::getDOMImplementation(kLS));
  std::unique_ptr<DOMLSSerializer, XercesReleaser> writer(impl->createLSSerializer());
  std::unique_ptr<DOMLSOutput, XercesReleaser> output(impl->createLSOutput());
  output->setByteStream(buffer_.get());
  output->setEncoding(kUtf8);
  std::string error;
  try {
    document_->setXmlStandalone(false);
    document_->setXmlVersion(kXml10);
    if (writer->write(document_.get(), output.get())) return 0;
    error = "the serializer reported an error";
  } catch (const XMLException& e) {
    error = XMLEncXStr(e.getMessage()).StringForm();
  } catch (const DOMException& e) {
    error = XMLEncXStr(e.getMessage()).StringForm();
  }
  log_->debugLvl(1, "Caught exception while writing XML string. Exception message [%s]",
                 error.c_str());
  return -1;
}

int CCLDBStateFile::GetElementText(const char* name, char*& text) {
  if (!document_) return 1;
  XStr xname(name);
  DOMNodeList* list = document_->getElementsByTagName(xname.get());
  if (list->getLength() > 1)
    zelassert("pList->getLength () <= 1", kSource, __PRETTY_FUNCTION__, __LINE__);
  if (list->getLength() == 0) return 1;
  DOMNode* node = list->item(0);
  if (node->getNodeType() != DOMNode::ELEMENT_NODE)
    zelassert("pNode->getNodeType () == DOMNode::ELEMENT_NODE", kSource, __PRETTY_FUNCTION__,
              __LINE__);
  DOMNode* child = node->getFirstChild();
  if (!child || child->getNodeType() != DOMNode::TEXT_NODE)
    zelassert("pNode->getNodeType () == DOMNode::TEXT_NODE", kSource, __PRETTY_FUNCTION__,
              __LINE__);
  // An element without text (say <State></State>) reads as missing.
  if (!IsText(child)) return 1;
  char* narrow = nullptr;
  try {
    narrow = XMLString::transcode(child->getNodeValue());
  } catch (const XMLException&) {
    return -1;  // no narrow form of this text
  }
  if (!narrow) return -1;
  text = narrow;
  return 0;
}

template <typename T>
int CCLDBStateFile::GetNumber(const char* name, T& value) {
  char* text = nullptr;
  int rc = GetElementText(name, text);
  if (rc != 0) return rc;
  T parsed;
  rc = ScanNumber(text, parsed) == 1 ? 0 : -1;
  XMLString::release(&text);
  if (rc == 0) value = parsed;
  return rc;
}

int CCLDBStateFile::GetElementText(const char* name, unsigned int& value) {
  return GetNumber(name, value);
}

int CCLDBStateFile::GetElementText(const char* name, unsigned long long& value) {
  return GetNumber(name, value);
}

void CCLDBStateFile::SetElementText(const char* name, const char* value) {
  if (!document_) return;
  try {
    XStr xname(name);
    DOMNodeList* list = document_->getElementsByTagName(xname.get());
    if (list->getLength() > 1)
      zelassert("pList->getLength () <= 1", kSource, __PRETTY_FUNCTION__, __LINE__);
    DOMNode* element = list->getLength() ? list->item(0) : nullptr;
    if (!element) {
      element = document_->getDocumentElement()->appendChild(document_->createElement(xname.get()));
    }
    XStr xvalue(value);
    DOMNode* child = element->getFirstChild();
    if (IsText(child)) {
      child->setNodeValue(xvalue.get());
    } else {
      // No text to change: put the value in front of whatever is there.
      element->insertBefore(document_->createTextNode(xvalue.get()), child);
    }
    modified_ = true;
  } catch (const DOMException& e) {
    log_->debugLvl(1, "Cannot set element [%s], error=%s", name,
                   XMLEncXStr(e.getMessage()).StringForm());
  }
}

void CCLDBStateFile::SetElementText(const char* name, unsigned int value) {
  char text[16];
  snprintf(text, sizeof(text), "%u", value);
  SetElementText(name, text);
}

void CCLDBStateFile::SetElementText(const char* name, unsigned long long value) {
  char text[24];
  snprintf(text, sizeof(text), "%llu", value);
  SetElementText(name, text);
}
