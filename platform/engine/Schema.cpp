#include "platform/engine/Schema.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <utility>

namespace cldb {
namespace {

constexpr unsigned kMaxRecordLength = 65536;

// The first line in which two schema texts differ, for the log.
std::pair<std::string, std::string> FirstDifference(const std::string& a, const std::string& b) {
  size_t start = 0;
  for (;;) {
    size_t ea = a.find('\n', start), eb = b.find('\n', start);
    std::string la = a.substr(start, ea == std::string::npos ? std::string::npos : ea - start);
    std::string lb = b.substr(start, eb == std::string::npos ? std::string::npos : eb - start);
    if (la != lb || ea == std::string::npos || eb == std::string::npos) return {la, lb};
    start = ea + 1;
  }
}

}  // namespace

void EncodeSegment(const KeyPart& part, const void* field, unsigned char* out) {
  const unsigned char* in = static_cast<const unsigned char*>(field);
  if (part.mode == kIntegerMode) {
    for (int i = 0; i < part.length; ++i) out[i] = in[part.length - 1 - i];
  } else {
    memcpy(out, in, part.length);
  }
}

int TableSchema::Error(const char* name, const char* reason) const {
  log_->debug(-1, "%s: [ERROR] %s: %s", name, baseName_.c_str(), reason);
  return TCT_SCHEMA;
}

int TableSchema::CheckDeclaring(const char* name) const {
  return started_ && !complete_ ? 0 : Error(name, "no declaration in progress");
}

// Drops any earlier declaration; the data file's name changes only when
// the new one starts well.
int TableSchema::Begin(const char* baseName, unsigned fieldCount, unsigned indexCount,
                       unsigned segmentCount, unsigned recordLength, unsigned maxLength) {
  static const char kName[] = "TCtreeTable::internalInitialize";
  std::string dataFile = std::move(dataFile_);
  *this = TableSchema(*log_);
  dataFile_ = std::move(dataFile);
  if (!baseName || !*baseName) return Error(kName, "no file name");
  baseName_ = baseName;
  if (fieldCount == 0) return Error(kName, "no fields");
  if (indexCount > kMaxIndexes) return Error(kName, "too many indexes");
  if (segmentCount < indexCount) return Error(kName, "fewer segments than indexes");
  if (recordLength == 0 || recordLength > kMaxRecordLength || recordLength != maxLength)
    return Error(kName, "record length must be fixed, 1 to 65536 bytes");
  fieldCount_ = fieldCount;
  indexCount_ = indexCount;
  segmentCount_ = segmentCount;
  recordLength_ = recordLength;
  started_ = true;
  dataFile_ = baseName_ + ".dat";
  return 0;
}

int TableSchema::AddField(const char* name, unsigned long offset, short typeCode, short length) {
  static const char kName[] = "TCtreeTable::setNextField";
  if (int rc = CheckDeclaring(kName)) return rc;
  if (fields_.size() >= fieldCount_) return Error(kName, "too many fields");
  if (!name || !*name) return Error(kName, "field without a name");
  if (typeCode < 0 || typeCode > 255) return Error(kName, "type code outside 0..255");
  if (length <= 0 || offset > recordLength_ ||
      static_cast<unsigned long>(length) > recordLength_ - offset)
    return Error(kName, "field outside the record");
  fields_.push_back(FieldDef{name, offset, typeCode, length});
  return 0;
}

int TableSchema::AddIndex(const char* name, short keyLength, TKeyType keyType, short duplicates,
                          short segmentCount, short indexNumber) {
  static const char kName[] = "TCtreeTable::setNextIndex";
  if (int rc = CheckDeclaring(kName)) return rc;
  if (indexes_.size() >= indexCount_) return Error(kName, "too many indexes");
  if (indexNumber != indexCount()) return Error(kName, "indexes out of order");
  if (!name || !*name) return Error(kName, "index without a name");
  if (keyLength <= 0 || keyLength > kMaxKeyLength) return Error(kName, "key length outside 1..128");
  if (keyType != 0) return Error(kName, "unknown key type");
  if (duplicates != 1) return Error(kName, "only indexes with duplicate keys are kept");
  if (segmentCount <= 0) return Error(kName, "index without segments");
  indexes_.push_back(IndexDef{name, keyLength, keyType, duplicates, segmentCount, {}});
  return 0;
}

// Segments fill the declared indexes in order.
int TableSchema::AddSegment(short fieldNumber, short length, char mode) {
  static const char kName[] = "TCtreeTable::setNextSegment";
  if (int rc = CheckDeclaring(kName)) return rc;
  auto open = std::find_if(indexes_.begin(), indexes_.end(), [](const IndexDef& x) {
    return static_cast<int>(x.parts.size()) < x.segmentCount;
  });
  if (open == indexes_.end() || segmentsDeclared_ >= segmentCount_)
    return Error(kName, "segment without an index to take it");
  if (fieldNumber < 0 || fieldNumber >= static_cast<int>(fields_.size()))
    return Error(kName, "segment of an undeclared field");
  const FieldDef& field = fields_[fieldNumber];
  if (mode != kIntegerMode && mode != kBytesMode) return Error(kName, "unknown mode");
  if (length <= 0 || length > field.length) return Error(kName, "segment longer than its field");
  if (mode == kIntegerMode &&
      (length != field.length || (length != 1 && length != 2 && length != 4 && length != 8)))
    return Error(kName, "integer segment must be a whole 1, 2, 4 or 8-byte field");
  open->parts.push_back(KeyPart{fieldNumber, field.offset, length, mode});
  ++segmentsDeclared_;
  return 0;
}

int TableSchema::CheckComplete() {
  static const char kName[] = "TCtreeTable::initializeComplete";
  if (int rc = CheckDeclaring(kName)) return rc;
  if (fields_.size() != fieldCount_) return Error(kName, "fields missing");
  if (indexes_.size() != indexCount_) return Error(kName, "indexes missing");
  if (segmentsDeclared_ != segmentCount_) return Error(kName, "segments missing");
  for (const IndexDef& x : indexes_) {
    int length = 0;
    for (const KeyPart& p : x.parts) length += p.length;
    if (static_cast<int>(x.parts.size()) != x.segmentCount || length != x.keyLength)
      return Error(kName, "segments do not add up to the key length");
  }
  return 0;
}

void TableSchema::Complete(int tableVersion) {
  tableVersion_ = tableVersion;
  complete_ = true;
}

int TableSchema::SetIndexFlag(int index, bool IndexDef::*flag) {
  if (index < 0 || index >= indexCount()) return TCT_ARGUMENT;
  indexes_[index].*flag = true;
  return 0;
}

const KeyPart* TableSchema::Part(int index, int segment) const {
  if (index < 0 || index >= indexCount()) return nullptr;
  const IndexDef& x = indexes_[index];
  if (segment < 0 || segment >= static_cast<int>(x.parts.size())) return nullptr;
  return &x.parts[segment];
}

void TableSchema::BuildKey(int index, const void* record, unsigned char* key) const {
  const unsigned char* image = static_cast<const unsigned char*>(record);
  for (const KeyPart& part : indexes_[index].parts) {
    EncodeSegment(part, image + part.offset, key);
    key += part.length;
  }
}

std::string TableSchema::Describe(int format) const {
  char line[512];
  std::string text;
  snprintf(line, sizeof(line), "TCtreeTable %d\nversions table=%d index=%d\nrecord %u\n", format,
           tableVersion_, indexVersion_, recordLength_);
  text += line;
  for (size_t i = 0; i < fields_.size(); ++i) {
    const FieldDef& f = fields_[i];
    snprintf(line, sizeof(line), "field %zu %s offset=%lu type=%d length=%d\n", i, f.name.c_str(),
             f.offset, f.typeCode, f.length);
    text += line;
  }
  for (size_t i = 0; i < indexes_.size(); ++i) {
    const IndexDef& x = indexes_[i];
    snprintf(line, sizeof(line), "index %zu %s key=%d type=%d duplicates=%d segments=%d\n", i,
             x.name.c_str(), x.keyLength, x.keyType, x.duplicates, x.segmentCount);
    text += line;
    for (const KeyPart& p : x.parts) {
      snprintf(line, sizeof(line), "segment field=%d length=%d mode=%d\n", p.field, p.length,
               p.mode);
      text += line;
    }
  }
  return text;
}

int TableSchema::Compare(const std::string& stored, const char* name, int* format) const {
  const std::string declared = Describe();
  for (int f : {kFileFormat, kFirstFileFormat}) {
    *format = f;
    if (stored == (f == kFileFormat ? declared : Describe(f))) return 0;
  }
  const auto diff = FirstDifference(stored, declared);
  log_->debug(-1, "%s: [ERROR] %s has another schema: stored \"%s\", declared \"%s\"", name,
              dataFile_.c_str(), diff.first.c_str(), diff.second.c_str());
  return TCT_SCHEMA_MISMATCH;
}

}  // namespace cldb
