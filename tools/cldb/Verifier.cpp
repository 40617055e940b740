#include "Verifier.h"

#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "storage/BlockReader.h"
#include "storage/JobTree.h"

namespace {

using cldb::BlockReader;
using cldb::TreeEntry;
using JobInfo = cldb::SqliteStorageBackend::JobInfo;

const size_t kPage = 1000;

struct Key {
  std::string digest;  // 64 bytes
  uint32_t size;
  uint32_t copy;
  bool operator==(const Key& other) const {
    return size == other.size && copy == other.copy && digest == other.digest;
  }
};

struct KeyHash {
  size_t operator()(const Key& key) const {
    size_t hash;
    std::memcpy(&hash, key.digest.data(), sizeof(hash));
    return hash ^ key.size;
  }
};

using BlockIndex = std::unordered_map<Key, size_t, KeyHash>;

struct Work {
  size_t block;
  BlockReader::Location location;
};

// Calls `visit(job, file)` for every file entry of the jobs.
template <typename Visit>
int ForEachFile(cldb::SqliteStorageBackend& storage, const std::vector<JobInfo>& jobs, Visit visit,
                std::string& error) {
  std::vector<TreeEntry> page;
  for (const JobInfo& job : jobs) {
    std::string after;
    do {
      if (cldb::ReadEntries(storage.Db(), job.jobId, "", after, kPage, page) != 0) {
        error = storage.LastError();
        return -1;
      }
      for (const TreeEntry& entry : page)
        if (entry.kind == cldb::EntryKind::kFile) visit(job, entry);
      if (!page.empty()) after = page.back().path;
    } while (page.size() == kPage);
  }
  return 0;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

}  // namespace

Verifier::Verifier(cldb::SqliteStorageBackend& storage, unsigned threads)
    : storage_(storage), threads_(std::max(1u, threads)) {}

int Verifier::Run(const std::vector<JobInfo>& jobs, Result& result, std::string& error) {
  result = Result();
  // The distinct blocks, in the order met.
  BlockIndex index;
  std::vector<const Key*> blocks;
  auto collect = [&](const JobInfo& job, const TreeEntry& file) {
    ++result.files;
    for (size_t i = 0; i < file.Blocks(); ++i) {
      Key key{std::string(reinterpret_cast<const char*>(file.Digest(i)), cldb::kDigestSize),
              cldb::BlockSize(file, i, job.blockSize), job.copyId};
      auto [it, added] = index.emplace(std::move(key), blocks.size());
      if (!added) continue;
      blocks.push_back(&it->first);
      result.bytes += it->first.size;
    }
  };
  if (ForEachFile(storage_, jobs, collect, error) != 0) return -1;
  result.blocks = blocks.size();

  // Every copy of each, in pack order.
  std::vector<Work> work;
  std::vector<uint8_t> held(blocks.size(), 0);
  {
    BlockReader locator(storage_);
    std::vector<BlockReader::Location> copies;
    for (size_t i = 0; i < blocks.size(); ++i) {
      const auto* digest = reinterpret_cast<const unsigned char*>(blocks[i]->digest.data());
      if (locator.Locate(digest, blocks[i]->size, blocks[i]->copy, copies, error) != 0) return -1;
      held[i] = !copies.empty();
      for (const auto& location : copies) work.push_back({i, location});
    }
  }
  std::sort(work.begin(), work.end(), [](const Work& a, const Work& b) {
    return std::tie(a.location.afileId, a.location.generation, a.location.offset) <
           std::tie(b.location.afileId, b.location.generation, b.location.offset);
  });
  result.copies = work.size();

  // Read and hash them.
  std::unique_ptr<std::atomic<bool>[]> good(new std::atomic<bool>[blocks.size()]);
  for (size_t i = 0; i < blocks.size(); ++i) good[i] = false;
  std::mutex found;
  std::multimap<size_t, std::string> details;
  std::map<std::pair<uint32_t, uint32_t>, bool> damagedPacks;
  auto check = [&](size_t begin, size_t end) {
    BlockReader reader(storage_, false);
    const unsigned char* data = nullptr;
    unsigned char digest[SHA512_DIGEST_LENGTH];
    for (size_t w = begin; w < end; ++w) {
      const Key& key = *blocks[work[w].block];
      const auto* expected = reinterpret_cast<const unsigned char*>(key.digest.data());
      std::string problem;
      BlockReader::Result read = reader.Read(work[w].location, expected, key.size, data, problem);
      if (read == BlockReader::Result::kMoved)  // rewritten meanwhile: wherever it is now
        read = reader.Fetch(expected, key.size, key.copy, data, problem)
                   ? BlockReader::Result::kOk
                   : BlockReader::Result::kDamaged;
      if (read == BlockReader::Result::kOk) {
        SHA512(data, key.size, digest);
        if (std::memcmp(digest, expected, sizeof(digest)) == 0) {
          good[work[w].block] = true;
          continue;
        }
        problem = "pack file '" +
                  storage_.Packs().PathOf(work[w].location.afileId, work[w].location.generation) +
                  "' at offset " + std::to_string(work[w].location.offset) +
                  ": the block's data does not match its signature";
      }
      std::lock_guard<std::mutex> guard(found);
      details.emplace(work[w].block, problem);
      damagedPacks[{work[w].location.afileId, work[w].location.generation}] = true;
    }
  };
  std::vector<std::thread> threads;
  const unsigned count = static_cast<unsigned>(std::min<size_t>(threads_, work.size()));
  for (unsigned t = 1; t < count; ++t)
    threads.emplace_back(check, work.size() * t / count, work.size() * (t + 1) / count);
  if (count != 0) check(0, work.size() / count);
  for (std::thread& thread : threads) thread.join();

  for (const auto& [pack, unused] : damagedPacks)
    result.damagedPacks.push_back(storage_.Packs().PathOf(pack.first, pack.second));
  // The blocks no copy of which checked out, and the files they break.
  std::unordered_map<size_t, size_t> problemOf;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (good[i]) continue;
    Problem problem;
    problem.signature = Hex(blocks[i]->digest);
    problem.size = blocks[i]->size;
    problem.missing = !held[i];
    auto range = details.equal_range(i);
    for (auto it = range.first; it != range.second; ++it) problem.details.push_back(it->second);
    problemOf[i] = result.problems.size();
    result.problems.push_back(std::move(problem));
  }
  if (result.problems.empty()) return 0;
  auto blame = [&](const JobInfo& job, const TreeEntry& file) {
    for (size_t i = 0; i < file.Blocks(); ++i) {
      Key key{std::string(reinterpret_cast<const char*>(file.Digest(i)), cldb::kDigestSize),
              cldb::BlockSize(file, i, job.blockSize), job.copyId};
      const auto known = index.find(key);  // a job dropped meanwhile may have changed
      if (known == index.end()) continue;
      const auto bad = problemOf.find(known->second);
      if (bad == problemOf.end()) continue;
      std::vector<BrokenFile>& files = result.problems[bad->second].files;
      if (files.empty() || files.back().jobId != job.jobId || files.back().path != file.path)
        files.push_back({job.jobId, file.path});
    }
  };
  return ForEachFile(storage_, jobs, blame, error);
}
