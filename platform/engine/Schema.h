// TableSchema: what a table object declares about its table (base name,
// record length, fields, indexes and their key segments), the checks of
// that declaration, the keys it implies, and the text form that the file
// stores and an open compares.
#pragma once

#include <string>
#include <vector>

#include "platform/TCtreeTable.h"
#include "platform/engine/Format.h"

namespace cldb {

constexpr int kTableVersion = 1;      // the hooks' table version, before adjustTableVersion
constexpr int kBaseIndexVersion = 2;  // processIndexVersionExternal raises it to 3
constexpr char kIntegerMode = 1;      // little-endian field, big-endian key bytes
constexpr char kBytesMode = 0;        // field bytes as they stand

struct FieldDef {
  std::string name;
  unsigned long offset;
  short typeCode;
  short length;
};

// One key segment, resolved against its field.
struct KeyPart {
  short field;
  size_t offset;
  int length;
  char mode;
};

struct IndexDef {
  std::string name;
  int keyLength;
  TKeyType keyType;
  short duplicates;
  int segmentCount;
  std::vector<KeyPart> parts;
  bool lazy = false;      // see "Lazy indexes" in TCtreeTable.h; not stored
  bool filtered = false;  // keeps a KeyFilter of its keys; not stored
};

// Writes one segment's key bytes for the field bytes at `field`.
void EncodeSegment(const KeyPart& part, const void* field, unsigned char* out);

class TableSchema {
 public:
  explicit TableSchema(TDebuggable& log) : log_(&log) {}

  // ---- declaration (TCT_SCHEMA, logged, when it does not fit) -------------
  int Begin(const char* baseName, unsigned fieldCount, unsigned indexCount, unsigned segmentCount,
            unsigned recordLength, unsigned maxLength);
  int AddField(const char* name, unsigned long offset, short typeCode, short length);
  int AddIndex(const char* name, short keyLength, TKeyType keyType, short duplicates,
               short segmentCount, short indexNumber);
  int AddSegment(short fieldNumber, short length, char mode);
  // Whether every announced field, index and segment came, adding up.
  int CheckComplete();
  void Complete(int tableVersion);
  // Turns on `flag` of declared index `index`; TCT_ARGUMENT for another.
  int SetIndexFlag(int index, bool IndexDef::*flag);
  void SetIndexVersion(int version) { indexVersion_ = version; }

  bool complete() const { return complete_; }
  const std::string& baseName() const { return baseName_; }
  const std::string& dataFile() const { return dataFile_; }  // "<base>.dat"
  unsigned recordLength() const { return recordLength_; }
  int indexVersion() const { return indexVersion_; }
  int indexCount() const { return static_cast<int>(indexes_.size()); }
  const IndexDef& index(int i) const { return indexes_[i]; }
  int keyLength(int i) const { return indexes_[i].keyLength; }
  // Segment `segment` of index `index`; null when either is unknown.
  const KeyPart* Part(int index, int segment) const;

  // Writes index `index`'s key of `record` (keyLength(index) bytes).
  void BuildKey(int index, const void* record, unsigned char* key) const;

  // Logs `reason` for the table; TCT_SCHEMA.
  int Error(const char* name, const char* reason) const;

  // The schema as a file of `format` stores it (its first line names the
  // format).
  std::string Describe(int format = kFileFormat) const;
  // 0 when `stored` is this schema, in a file of the present or the first
  // format (*format says which); otherwise TCT_SCHEMA_MISMATCH, logged with
  // the first line that differs.
  int Compare(const std::string& stored, const char* name, int* format) const;

 private:
  int CheckDeclaring(const char* name) const;

  TDebuggable* log_;  // a pointer, so that Begin can start afresh by assignment
  std::string baseName_, dataFile_;
  unsigned fieldCount_ = 0, indexCount_ = 0, segmentCount_ = 0, recordLength_ = 0;
  std::vector<FieldDef> fields_;
  std::vector<IndexDef> indexes_;
  unsigned segmentsDeclared_ = 0;
  bool started_ = false;
  bool complete_ = false;
  int tableVersion_ = kTableVersion;
  int indexVersion_ = kBaseIndexVersion;
};

}  // namespace cldb
