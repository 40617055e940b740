// libFuzzer target: arbitrary bytes as State.xml, through the sanity check,
// Open with the element primitives, and the typed accessors.
//
// Besides the sanitizers it checks one property: a file that Open accepted
// and Close rewrote must open again.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include "cldb/CLDBStateFile.h"
#include "platform/EvDebug.h"
#include "platform/LogCapture.h"

namespace {

std::string g_folder;
std::string g_path;

const char* const kElements[] = {"Version",        "State",           "CLDBID",
                                 "SIDBSTOREID",    "LastCompactTime", "RECORDCOUNT",
                                 "LastAccessTime", "Owner",           "NewestStamp"};

// A private folder, on tmpfs when there is one: every input costs two fsyncs.
std::string MakeFolder() {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(base) + "/cldb-statefile-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0])) return pattern;
  }
  perror("mkdtemp");
  abort();
}

void PutFile(const uint8_t* data, size_t size) {
  int fd = open(g_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
    perror("State.xml");
    abort();
  }
  close(fd);
}

void ReadElements(CCLDBStateFile& state) {
  for (const char* name : kElements) {
    char* text = nullptr;
    if (state.GetElementText(name, text) == 0) xercesc::XMLString::release(&text);
    unsigned int narrow = 0;
    unsigned long long wide = 0;
    state.GetElementText(name, narrow);
    state.GetElementText(name, wide);
  }
}

void TypedAccessors(CCLDBStateFile& state) {
  unsigned int narrow = 0;
  unsigned long long wide = 0;
  state.GetState(narrow);
  state.GetVersion(narrow);
  state.GetSIDBStoreID(narrow);
  state.GetRecordCount(wide);
  state.GetLastCompactTime(narrow);
  state.GetLastAccessTime(narrow);
  state.GetOwner(wide);
  state.GetStampFloor(narrow);
  state.SetOwner(wide + 1);
  state.SetNewestStamp(narrow + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  xercesc::XMLPlatformUtils::Initialize();
  g_folder = MakeFolder();
  g_path = g_folder + "/State.xml";
  setenv("CLDB_CONFIG", "/nonexistent/cldb-fuzz.conf", 1);
  // Nothing reaches the terminal, but every message is still formatted.
  EvDebug::SetDefaultThreshold(-2);
  cldb::hooks::SetGlobalLogSink([](int, const std::string&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CCLDBStateFile state;
  if (state.Initialize(1, nullptr, g_folder.c_str()) != 0) abort();

  PutFile(data, size);
  state.CheckStatefileSanity();
  if (state.Open() == 0) {
    ReadElements(state);
    state.SetElementText("State", 1u);
    state.Close();
    if (state.Open() != 0) {
      fprintf(stderr, "a rewritten State.xml no longer opens\n");
      abort();
    }
    state.Close();
  }

  PutFile(data, size);
  TypedAccessors(state);
  return 0;
}
