#include "TreeBuilder.h"

#include <cstring>

#include "storage/PackFormat.h"

namespace {

using cldb::EntryKind;
using cldb::kDigestSize;

cldb::TreeEntry EntryOf(const WalkedEntry& walked) {
  cldb::TreeEntry entry;
  // Walked paths are absolute; the tree is rooted at "/".
  const size_t start = walked.path.find_first_not_of('/');
  entry.path = start == std::string::npos ? "" : walked.path.substr(start);
  entry.mode = walked.mode;
  entry.mtimeNs = walked.mtimeNs;
  switch (walked.kind) {
    case TreeWalker::kFolder:
      entry.kind = EntryKind::kFolder;
      break;
    case TreeWalker::kSymlink:
      entry.kind = EntryKind::kSymlink;
      entry.data = walked.target;
      break;
    default:
      entry.kind = EntryKind::kFile;
      break;
  }
  return entry;
}

}  // namespace

void TreeBuilder::Add(const Piece& piece) {
  const WalkedEntry& walked = *piece.entry;
  if (walked.segments == 0) {
    Ready(EntryOf(walked));
    return;
  }
  auto [it, added] = files_.try_emplace(&walked);
  File& file = it->second;
  if (added) file.entry = EntryOf(walked);
  if (piece.failed) file.failed = true;
  if (piece.dataSize < piece.expected && piece.segment < file.shortSegment) {
    file.shortSegment = piece.segment;
    file.shortEnd = piece.firstBlock * blockSize_ + piece.dataSize;
  }
  std::string& digests = file.entry.data;
  const size_t end = (piece.firstBlock + piece.blocks.size()) * kDigestSize;
  if (digests.size() < end) digests.resize(end);
  for (size_t i = 0; i < piece.blocks.size(); ++i)
    std::memcpy(&digests[(piece.firstBlock + i) * kDigestSize], piece.blocks[i].digest,
                kDigestSize);
}

void TreeBuilder::Settled(const Piece& piece) {
  const WalkedEntry& walked = *piece.entry;
  if (walked.segments == 0) return;
  auto it = files_.find(&walked);
  if (it == files_.end() || ++it->second.settled < walked.segments) return;
  Finish(it->second, walked);
  files_.erase(it);
}

void TreeBuilder::Finish(File& file, const WalkedEntry& walked) {
  if (file.failed) return;
  const uint64_t size = file.shortSegment != UINT64_MAX ? file.shortEnd : walked.size;
  const uint64_t blocks = (size + blockSize_ - 1) / blockSize_;
  file.entry.size = size;
  file.entry.data.resize(blocks * kDigestSize);
  Ready(std::move(file.entry));
}

void TreeBuilder::Ready(cldb::TreeEntry entry) {
  if (!entry.path.empty()) ready_.push_back(std::move(entry));
}

std::vector<cldb::TreeEntry> TreeBuilder::TakeReady() {
  std::vector<cldb::TreeEntry> taken;
  taken.swap(ready_);
  return taken;
}
