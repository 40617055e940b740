// CTkError and CTkString: the result and string types of the file, path and
// directory utilities.
#pragma once

#include <string>

class CTkString {
 public:
  CTkString() = default;
  CTkString(const char* s) : s_(s ? s : "") {}
  CTkString(std::string s) : s_(std::move(s)) {}
  const char* c_str() const { return s_.c_str(); }  // never null
  const std::string& str() const { return s_; }
  size_t length() const { return s_.size(); }
  bool empty() const { return s_.empty(); }

 private:
  std::string s_;
};

// 0 is success; negative codes are errors (usually -errno).
class CTkError {
 public:
  CTkError() = default;
  CTkError(int code, std::string detail) : code_(code), detail_(std::move(detail)) {}
  static CTkError FromErrno(int err, const std::string& what);

  bool IsError() const { return code_ != 0; }
  int GetErrorCode() const { return code_; }
  // Text for messages after "error="; "success" when there is no error.
  const char* AsString() const { return code_ ? detail_.c_str() : "success"; }

 private:
  int code_ = 0;
  std::string detail_;
};
